// A newcomer's first commands: with no lens registered anywhere, the commands
// that need lenses say what is missing and how to register one (a refusal,
// not a usage error); every command's --help ends with examples that its own
// option table accepts, and with its exit statuses.
#include <gtest/gtest.h>


#include "cli/command_catalogue.h"
#include "tests/cli/cli_test_support.h"

using namespace vistereo;
using namespace vistereo::testsupport;

namespace {

// The words a shell makes of a line with '...' and "..." quoting (no escapes
// or expansions; the examples use none).
std::vector<std::string> shellWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (const char c : line) {
        if (quote) {
            if (c == quote) quote = 0;
            else word += c;
        } else if (c == '\'' || c == '"') {
            quote = c, inWord = true;
        } else if (c == ' ') {
            if (inWord) words.push_back(word);
            word.clear(), inWord = false;
        } else {
            word += c, inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

}  // namespace

TEST_F(CliTest, CommandsNeedingLensesSayHowToRegisterOneWhenNoneIs) {
    const std::string d = dir.string();
    const fs::path user = dir / "config/vistereo/Vistereo.ini";
    const struct {
        const char* label;
        Args args;
        bool workingFile, userFile;  // which lens files hold a record
        int status;
        const char* mentions;
    } cases[] = {
        {"convert with nothing", {"convert", "-C", d}, false, false, 1, "no camera and lens is registered"},
        {"convert naming a lens", {"convert", "-C", d, "--left-lens", "A", "--right-lens", "A", "--auto-align"}, false,
         false, 1, "lens add --user"},
        {"batch", {"batch", "-C", d, "--auto-align"}, false, false, 1, "no camera and lens is registered"},
        {"video", {"video", "-C", d, "-o", "v.mp4", "L.mp4", "R.mp4"}, false, false, 1, "no camera and lens is registered"},
        {"align", {"align", "-C", d}, false, false, 1, "no camera and lens is registered"},
        {"lens calibrate", {"lens", "calibrate", "-C", d}, false, false, 1, "no camera and lens is registered"},
        // Once a lens is registered anywhere, leaving out the lens options is the user's typing again.
        {"only the user's file holds one", {"convert", "-C", d}, false, true, 2, "missing --left-lens"},
        {"the working folder holds one", {"batch", "-C", d, "--auto-align"}, true, false, 2, "missing --left-lens"},
        // A --lenses file that is not there is what the user typed.
        {"a missing --lenses file", {"convert", "-C", d, "--lenses", "none.ini", "--left-lens", "A", "--right-lens", "A",
         "--auto-align"}, false, false, 2, "--lenses: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(dir / "Vistereo.ini"), fs::remove(user);
        if (c.workingFile) writeFile(dir / "Vistereo.ini", recordText("Equisolid"));
        if (c.userFile) fs::create_directories(user.parent_path()), writeFile(user, recordText("Mine"));
        const Run run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        // A refusal names both files looked in and the way forward, without the usage text.
        EXPECT_EQ(run.err.find("usage:") == std::string::npos, c.status == 1) << run.err;
        if (c.status == 1) {
            EXPECT_NE(run.err.find((dir / "Vistereo.ini").string() + " (missing)"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(user.string()), std::string::npos) << run.err;
        }
        EXPECT_TRUE(outputs().empty());
    }
}

// Each example line is the command it stands under, with options and arguments its own table takes, so an example
// cannot outlive a renamed option; the help prints them and the three exit statuses last.
TEST(CommandHelpTest, EveryCommandEndsWithExamplesItsTableAcceptsAndItsExitStatuses) {
    for (const cli::CommandHelp* command : cli::commandCatalogue()) {
        SCOPED_TRACE(command->name);
        const cli::CommandUse use = cli::commandUse(*command);
        EXPECT_GE(use.examples.size(), 2u);
        EXPECT_LE(use.examples.size(), 3u);
        ASSERT_NE(use.failure, nullptr);
        const std::vector<std::string> name = shellWords(command->name);
        for (const cli::CommandExample& example : use.examples) {
            SCOPED_TRACE(example.line);
            std::vector<std::string> words = shellWords(example.line);
            ASSERT_GE(words.size(), name.size() + 1);
            EXPECT_EQ(words[0], "vistereo-cli");
            EXPECT_EQ(std::vector<std::string>(words.begin() + 1, words.begin() + 1 + name.size()), name);
            words.erase(words.begin(), words.begin() + 1 + name.size());
            const cli::ParsedOptions parsed = cli::parseOptions(words, command->options, SIZE_MAX);
            EXPECT_EQ(parsed.error, "");
            EXPECT_FALSE(std::string(example.what).empty());
        }
        std::ostringstream help;
        cli::printCommandHelp(help, *command);
        const std::string text = help.str();
        const size_t examples = text.find("\nexamples:\n"), statuses = text.find("\nexit status:\n");
        ASSERT_NE(examples, std::string::npos) << text;
        ASSERT_NE(statuses, std::string::npos) << text;
        EXPECT_LT(examples, statuses);
        EXPECT_NE(text.find(use.examples[0].line, examples), std::string::npos);
        EXPECT_NE(text.find(std::string("  1  ") + use.failure, statuses), std::string::npos);
        EXPECT_NE(text.find("  2  usage error", statuses), std::string::npos);
    }
}
