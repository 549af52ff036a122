// The manual pages and the bash completion as the build writes them: every
// option of every command is in both, the pages render without a warning,
// and the completion answers as a shell user expects.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_catalogue.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// What `command` prints on stdout (stderr joined), through the shell.
std::string shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const fs::path kDocs = VISTEREO_DOCS_DIR;

}  // namespace

// Rendered as a reader sees them, with every roff warning an error: each
// option of each command appears under its own long name.
TEST(ManualPageTest, RendersEveryOptionOfEveryCommandWithoutWarnings) {
    if (shell("command -v groff").empty()) GTEST_SKIP() << "groff is not installed";
    // Both pages name the user's lens file; the desktop's says its main window does not read it.
    for (const char* page : {"vistereo-cli.1", "vistereo.1"}) {
        EXPECT_EQ(shell("groff -man -ww -z " + quoted((kDocs / page).string())), "") << page;
        const std::string rendered = shell("groff -man -Tutf8 -P-cbou " + quoted((kDocs / page).string()));
        EXPECT_NE(rendered.find("$XDG_CONFIG_HOME/vistereo/Vistereo.ini"), std::string::npos) << page;
        EXPECT_NE(rendered.find("~/.config/vistereo/Vistereo.ini"), std::string::npos) << page;
        if (std::string(page) == "vistereo.1") {
            EXPECT_NE(rendered.find("\"Video...\""), std::string::npos);
        }
        if (std::string(page) != "vistereo-cli.1") continue;
        // Each command's entry ends with its examples.
        size_t examples = 0;
        for (size_t at = rendered.find("Examples:"); at != std::string::npos; at = rendered.find("Examples:", at + 1))
            ++examples;
        EXPECT_EQ(examples, cli::commandCatalogue().size());
        for (const cli::CommandHelp* command : cli::commandCatalogue()) {
            EXPECT_NE(rendered.find(command->name), std::string::npos) << command->name;
            for (const cli::OptionSpec& option : command->options)
                EXPECT_NE(rendered.find("--" + std::string(option.name)), std::string::npos) << command->name << " --" << option.name;
        }
    }
}

// Each command's table names an option once (the parser would take the first
// entry and the help would show both), and an option several commands take is
// the same option in each: its short name and whether it takes a value agree.
TEST(OptionTableTest, EachOptionIsListedOnceAndMeansTheSameInEveryCommand) {
    std::map<std::string, std::pair<char, bool>> seen;  // long name: short name, takes a value
    for (const cli::CommandHelp* command : cli::commandCatalogue()) {
        std::set<std::string> names;
        std::set<char> shortNames;
        for (const cli::OptionSpec& option : command->options) {
            EXPECT_TRUE(names.insert(option.name).second) << command->name << " lists --" << option.name << " twice";
            if (option.shortName) {
                EXPECT_TRUE(shortNames.insert(option.shortName).second)
                    << command->name << " gives -" << option.shortName << " to two options";
            }
            const auto [first, fresh] = seen.try_emplace(option.name, option.shortName, option.valueName != nullptr);
            if (!fresh) {
                EXPECT_EQ(first->second, std::make_pair(option.shortName, option.valueName != nullptr))
                    << command->name << " --" << option.name;
            }
        }
    }
    EXPECT_EQ(seen.count("threads"), 1u);
}

// The completion script run by bash on the words typed so far; the working
// directory's Vistereo.ini names lenses with blanks and a quote.
class CompletionTest : public ScratchTest {};

TEST_F(CompletionTest, CompletesCommandsOptionsLensesAndFiles) {
    writeFile(dir / "Vistereo.ini", recordText("Fisheye 8mm") + recordText("Dad's lens") + recordText("Other"));
    fs::create_directories(dir / "shoot/input");
    writeFile(dir / "shoot/Vistereo.ini", recordText("Shoot lens"));
    writeFile(dir / "pair.vr.jpg", "x");
    writeFile(dir / "rig.ini", recordText("Rig lens"));
    fs::create_directories(dir / "config/vistereo");
    writeFile(dir / "config/vistereo/Vistereo.ini", recordText("Travel lens"));
    struct Case {
        std::vector<std::string> words;  // after vistereo-cli; the last is being completed
        std::vector<std::string> replies;
    };
    std::vector<std::string> convertOptions;
    for (const cli::OptionSpec& option : cli::kConvertHelp.options) convertOptions.push_back("--" + std::string(option.name));
    const Case cases[] = {
        {{"co"}, {"convert"}},
        {{"lens", ""}, {"list", "show", "add", "import", "remove", "detect", "calibrate", "--help"}},
        {{"lens", "add", "--u"}, {"--user"}},
        {{"lens", "remove", "--"}, {"--directory", "--user", "--help"}},
        {{"lens", "list", "--d"}, {"--directory"}},
        {{"convert", "--"}, convertOptions},
        // The working folder's names, then those of --lenses files, then the user's file's, and the numbers of all.
        {{"convert", "--left-lens", ""},
         {"Fisheye\\ 8mm", "Dad\\'s\\ lens", "Other", "Travel\\ lens", "\\#1", "\\#2", "\\#3", "\\#4"}},
        {{"convert", "--lenses", "rig.ini", "--left-lens", ""},
         {"Fisheye\\ 8mm", "Dad\\'s\\ lens", "Other", "Rig\\ lens", "Travel\\ lens", "\\#1", "\\#2", "\\#3", "\\#4",
          "\\#5"}},
        {{"convert", "--lenses", "=", "rig.ini", "--right-lens", "R"}, {"Rig\\ lens"}},
        {{"convert", "--lenses", "ri"}, {"rig.ini"}},
        {{"convert", "--right-lens", "D"}, {"Dad\\'s\\ lens"}},
        {{"batch", "-C", "shoot", "--left-lens", ""}, {"Shoot\\ lens", "Travel\\ lens", "\\#1", "\\#2"}},
        {{"align", "--directory", "=", "shoot", "--right-lens", "S"}, {"Shoot\\ lens"}},
        {{"convert", "-Cshoot", "--left-lens", "#"}, {"\\#1", "\\#2"}},
        {{"convert", "--interp", "b"}, {"bilinear", "bicubic"}},
        // An optional value only after its "=": without one the next word is the next option.
        {{"batch", "--match-colour", "=", ""}, {"vignetting"}},
        {{"convert", "--match-colour", "--exa"}, {"--exact"}},
        {{"batch", "--left-dir", "sh"}, {"shoot"}},
        {{"check", "pair"}, {"pair.vr.jpg"}},
        {{"convert", "--height", ""}, {}},
    };
    for (const Case& c : cases) {
        std::string words = "vistereo-cli";
        for (const std::string& w : c.words) words += " " + quoted(w);
        const std::string script = "cd " + quoted(dir.string()) + " && export XDG_CONFIG_HOME=" +
                                   quoted((dir / "config").string()) + " && source " +
                                   quoted((kDocs / "vistereo-cli.bash").string()) + " && COMP_WORDS=(" + words +
                                   ") && COMP_CWORD=" + std::to_string(c.words.size()) +
                                   " && _vistereo_cli && printf '%s\\n' \"${COMPREPLY[@]}\"";
        std::vector<std::string> replies;
        std::istringstream lines(shell("timeout 10 bash -c " + quoted(script)));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) replies.push_back(line);
        std::string label;
        for (const std::string& w : c.words) label += "[" + w + "]";
        EXPECT_EQ(replies, c.replies) << label;
    }
}
