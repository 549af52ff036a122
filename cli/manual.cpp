#include "cli/manual.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/version.h"
#include "cli/command_catalogue.h"

namespace vistereo::cli {
namespace {

// Help texts continue a line under the help column; in a manual page the
// lines of one entry flow as one paragraph.
std::string joinContinuations(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
            continue;
        }
        while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
        out += ' ';
    }
    return out;
}

// Plain text as roff: backslashes and hyphens escaped, and no line starting
// with a control character.
std::string roff(std::string_view text) {
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string optionSynopsis(const OptionSpec& option) {
    std::string text;
    if (option.shortName) text += std::string("\\-") + option.shortName + ", ";
    text += "\\-\\-" + roff(option.name);
    if (option.valueName && option.optionalValue) text += "[=\\fI" + roff(option.valueName) + "\\fR]";
    else if (option.valueName) text += " \\fI" + roff(option.valueName) + "\\fR";
    return "\\fB" + text + "\\fR";
}

// The usage lines of a command without "usage: " and with their indentation
// folded, as one synopsis paragraph.
std::string usageSynopsis(std::string_view usage) {
    constexpr std::string_view prefix = "usage: ";
    if (usage.substr(0, prefix.size()) == prefix) usage.remove_prefix(prefix.size());
    while (!usage.empty() && usage.back() == '\n') usage.remove_suffix(1);
    return roff(joinContinuations(usage));
}

std::string header(const char* name, const char* summary) {
    std::ostringstream out;
    out << ".TH " << name << " 1 \"\" \"Vistereo " << kVersion << "\" \"User Commands\"\n"
        << ".SH NAME\n"
        << roff(name) << " \\- " << roff(summary) << "\n";
    return out.str();
}

// Value completions that the value name alone does not tell.
const std::map<std::string, std::string> kValueWords = {
    {"interp", "bilinear bicubic lanczos"},
    {"codec", "h264 hevc"},
    {"preset", "ultrafast superfast veryfast faster fast medium slow slower veryslow"},
    {"audio", "left right none"},
    {"match-colour", "vignetting"}};

// An optional value is completed only after the option's "=".
std::string completionKind(const OptionSpec& option) {
    const std::string value = option.valueName ? option.valueName : "";
    if (option.optionalValue) return "optional " + completionKind({option.name, 0, option.valueName, ""});
    if (const auto words = kValueWords.find(option.name); words != kValueWords.end()) return "words " + words->second;
    if (value == "DIR") return "dir";
    if (value == "LENS") return "lens";
    if (value == "NAME" || value == "FILE") return "file";
    return "none";
}

}  // namespace

std::string cliManualPage() {
    std::ostringstream out;
    out << header("vistereo-cli", "convert stereo fisheye photographs into side-by-side 180-degree images");
    out << ".SH SYNOPSIS\n";
    for (const CommandHelp* command : commandCatalogue()) out << ".PP\n" << usageSynopsis(command->usage) << "\n";
    out << ".PP\nvistereo\\-cli \\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR\n";
    out << ".SH DESCRIPTION\n" << roff(joinContinuations(kProgramDescription)) << "\n"
        << ".PP\n"
           "A working directory (\\fB\\-C\\fR \\fIDIR\\fR, by default the current one) holds the lens registry "
           "\\fIVistereo.ini\\fR, the input images in \\fIinput/\\fR and the outputs in \\fIoutput/\\fR. "
           "Each command's \\fB\\-\\-help\\fR prints what this page says about it.\n";
    out << ".SH COMMANDS\n";
    for (const CommandHelp* command : commandCatalogue()) {
        out << ".SS " << roff(command->name) << "\n" << roff(command->summary) << ".\n";
        if (*command->description) out << ".PP\n" << roff(joinContinuations(command->description)) << "\n";
        for (const OptionSpec& option : command->options)
            out << ".TP\n" << optionSynopsis(option) << "\n" << roff(joinContinuations(option.help)) << "\n";
        const CommandUse use = commandUse(*command);
        if (!use.examples.empty()) out << ".PP\nExamples:\n";
        for (const CommandExample& example : use.examples)
            out << ".TP\n\\fB" << roff(example.line) << "\\fR\n" << roff(example.what) << "\n";
        if (use.failure) out << ".PP\nExit status 1: " << roff(use.failure) << ".\n";
    }
    out << ".SH EXIT STATUS\n"
           ".TP\n0\nsuccess\n"
           ".TP\n1\na conversion, match or measurement was refused or failed (the reason is on standard error)\n"
           ".TP\n2\nusage error\n"
        << ".SH FILES\n"
           ".TP\n\\fIVistereo.ini\\fR\n"
           "the lens registry of the working directory: at most ten camera\\-and\\-lens records; read first\n"
           ".TP\n\\fI$XDG_CONFIG_HOME/vistereo/Vistereo.ini\\fR\n"
           "the user's lens file (\\fI~/.config/vistereo/Vistereo.ini\\fR when XDG_CONFIG_HOME is unset or empty), "
           "in the same format with its own ten records: read after the working directory's file and the "
           "\\fB\\-\\-lenses\\fR files, so a name found earlier wins; \\fBlens add \\-\\-user\\fR and "
           "\\fBlens remove \\-\\-user\\fR write it\n"
           ".TP\n\\fIinput/\\fR, \\fIoutput/\\fR\n"
           "where bare image names are read and written, below the working directory\n"
        << ".SH SEE ALSO\n\\fBvistereo\\fR(1)\n";
    return out.str();
}

std::string desktopManualPage() {
    std::ostringstream out;
    out << header("vistereo", "turn a stereo pair of fisheye photographs into one side-by-side 180-degree image")
        << ".SH SYNOPSIS\n\\fBvistereo\\fR\n"
        << ".SH DESCRIPTION\n"
           "\\fBvistereo\\fR is the desktop program. It takes no arguments and works in the current directory: "
           "it reads the lens registry \\fIVistereo.ini\\fR and the input images from \\fIinput/\\fR, "
           "and writes the result into \\fIoutput/\\fR.\n"
           ".PP\n"
           "In its main window the user names the left and right images and the output, picks a registered "
           "camera and lens for each image, gives two corresponding points A and B (typed, pasted as one comma "
           "line, picked with \"Get A,B\", or found from the pictures with \"Auto A,B\"), sets the output height "
           "and the zenith correction, and presses \"Start Conversion !!!\". "
           "\"Camera Lens Registration\" registers, overwrites and deletes lens records. "
           "\"Batch...\" converts every pair of two folders with the same settings; \"Preview\" shows the last "
           "output as an anaglyph or an overlay with its measured vertical disparity; \"Video...\" converts two "
           "cameras' videos of one take into one VR180 video, synchronised by their sound. "
           "\"Add my lens...\" registers a lens from the user's own photos: it finds the image circle, draws it on "
           "the photo to confirm or drag, asks the field of view and the projection, and fills the lens lists; "
           "while both lists are empty, greyed text over them points to it.\n"
           ".PP\n"
           "The About box is in the window's right\\-click menu and on F1.\n"
        << ".SH FILES\n"
           ".TP\n\\fIVistereo.ini\\fR\nthe lens registry of the current directory; the main window's lens lists "
           "and the registration dialog read and write only this file\n"
           ".TP\n\\fI$XDG_CONFIG_HOME/vistereo/Vistereo.ini\\fR\n"
           "the user's lens file (\\fI~/.config/vistereo/Vistereo.ini\\fR when XDG_CONFIG_HOME is unset or empty): "
           "the batch window offers its lenses beside those of the current directory; \"Add my lens...\" "
           "can write it\n"
           ".TP\n\\fIinput/\\fR, \\fIoutput/\\fR\nthe images read and written, below the current directory\n"
           ".TP\n\\fI$XDG_CONFIG_HOME/Vistereo/vistereo.conf\\fR\n"
           "window positions and the choices of the check boxes below the main window's own controls and of the "
           "batch window; the main window's own controls start from their defaults every time\n"
        << ".SH SEE ALSO\n\\fBvistereo\\-cli\\fR(1), for the same conversion from the command line:\n";
    for (const CommandHelp* command : commandCatalogue())
        out << ".TP\n\\fBvistereo\\-cli " << roff(command->name) << "\\fR\n" << roff(command->summary) << "\n";
    return out.str();
}

std::string bashCompletion() {
    std::ostringstream out;
    // Commands and subcommands: "lens list" is the command "lens" with the
    // subcommand "list".
    std::vector<std::string> topWords;
    std::map<std::string, std::vector<std::string>> subWords;
    for (const CommandHelp* command : commandCatalogue()) {
        const std::string name = command->name;
        const size_t space = name.find(' ');
        const std::string top = name.substr(0, space);
        if (std::find(topWords.begin(), topWords.end(), top) == topWords.end()) topWords.push_back(top);
        if (space != std::string::npos) subWords[top].push_back(name.substr(space + 1));
    }
    auto joined = [](const std::vector<std::string>& words) {
        std::string text;
        for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
        return text;
    };

    out << "# bash completion for vistereo-cli, generated from its option tables.\n"
           "\n"
           "# The lens names of the files a command reads, in its lookup order: DIR/Vistereo.ini, each\n"
           "# --lenses FILE, the user's lens file. A name is the first of each record's 24 lines, at most\n"
           "# ten records a file.\n"
           "_vistereo_cli_lenses() {\n"
           "    local dir=$1 file config=$XDG_CONFIG_HOME\n"
           "    shift\n"
           "    [[ $config == /* ]] || config=${HOME:+$HOME/.config}\n"
           "    for file in \"${dir:-.}/Vistereo.ini\" \"$@\" ${config:+\"$config/vistereo/Vistereo.ini\"}; do\n"
           "        [[ -f $file && -r $file ]] || continue\n"
           "        LC_ALL=C awk 'NR > 240 { exit } NR % 24 == 1 { sub(/\\r$/, \"\"); print }' \"$file\"\n"
           "    done\n"
           "}\n"
           "\n"
           "# What the value of OPTION of COMMAND is: none, dir, file, lens or words W...\n"
           "_vistereo_cli_value() {\n"
           "    case \"$1 $2\" in\n";
    for (const CommandHelp* command : commandCatalogue())
        for (const OptionSpec& option : command->options) {
            if (!option.valueName) continue;
            out << "        \"" << command->name << " --" << option.name << "\"";
            if (option.shortName) out << "|\"" << command->name << " -" << option.shortName << "\"";
            out << ") echo \"" << completionKind(option) << "\" ;;\n";
        }
    out << "        *) echo flag ;;\n"
           "    esac\n"
           "}\n"
           "\n"
           "_vistereo_cli() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local command='' dir='' i word option='' lensfiles=()\n"
           "    # The command (with its subcommand) and the working directory given so far.\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=${COMP_WORDS[i]}\n"
           "        case $word in\n"
           "            -C | --directory) dir=${COMP_WORDS[i+1]} ;;\n"
           "            -C?*) dir=${word#-C} ;;\n"
           "            --lenses) [[ ${COMP_WORDS[i+1]} == = ]] && lensfiles+=(\"${COMP_WORDS[i+2]}\") || lensfiles+=(\"${COMP_WORDS[i+1]}\") ;;\n"
           "        esac\n"
           "        [[ $word == --directory && ${COMP_WORDS[i+1]} == = ]] && dir=${COMP_WORDS[i+2]}\n"
           "        if [[ $word != -* && $word != = ]]; then\n"
           "            if [[ -z $command ]]; then\n"
           "                command=$word\n"
           "            else\n"
           "                case $command in\n";
    for (const auto& [top, subs] : subWords)
        out << "                    " << top << ") [[ \" " << joined(subs) << " \" == *\" $word \"* ]] && command=\"" << top
            << " $word\" ;;\n";
    out << "                esac\n"
           "            fi\n"
           "        fi\n"
           "    done\n"
           "    dir=${dir//[\\\"\\']/}\n"
           "    dir=${dir/#\\~/$HOME}\n"
           "\n"
           "    COMPREPLY=()\n"
           "    if [[ -z $command ]]; then\n"
           "        COMPREPLY=($(compgen -W '" << joined(topWords) << " --help --version' -- \"$cur\"))\n"
           "        return 0\n"
           "    fi\n"
           "    case $command in\n";
    for (const auto& [top, subs] : subWords)
        out << "        " << top << ") COMPREPLY=($(compgen -W '" << joined(subs) << " --help' -- \"$cur\")); return 0 ;;\n";
    out << "    esac\n"
           "\n"
           "    # The option whose value is being typed: after it, or after its '='.\n"
           "    local equals=''\n"
           "    if [[ $cur == = ]]; then\n"
           "        option=$prev cur='' equals=1\n"
           "    elif [[ $prev == = ]]; then\n"
           "        option=${COMP_WORDS[COMP_CWORD-2]} equals=1\n"
           "    elif [[ $prev == -* ]]; then\n"
           "        option=$prev\n"
           "    fi\n"
           "    local kind=flag\n"
           "    [[ -n $option ]] && kind=$(_vistereo_cli_value \"$command\" \"$option\")\n"
           "    # An optional value only follows its option's '='.\n"
           "    if [[ $kind == optional\\ * ]]; then\n"
           "        [[ -n $equals ]] && kind=${kind#optional } || kind=flag\n"
           "    fi\n"
           "    local IFS=$'\\n' name bare=${cur//[\\\"\\'\\\\]/}\n"
           "    case $kind in\n"
           "        none) return 0 ;;\n"
           "        dir) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\")); return 0 ;;\n"
           "        file) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n"
           "        words\\ *) COMPREPLY=($(IFS=' '; compgen -W \"${kind#words }\" -- \"$cur\")); return 0 ;;\n"
           "        lens)\n"
           "            lensfiles=(\"${lensfiles[@]//[\\\"\\']/}\")\n"
           "            lensfiles=(\"${lensfiles[@]/#\\~/$HOME}\")\n"
           "            local -a names=($(_vistereo_cli_lenses \"$dir\" \"${lensfiles[@]}\"))\n"
           "            local count=${#names[@]}\n"
           "            for ((i = 1; i <= count; i++)); do names+=(\"#$i\"); done\n"
           "            for name in \"${names[@]}\"; do\n"
           "                [[ $name == \"$bare\"* ]] && COMPREPLY+=(\"$(printf '%q' \"$name\")\")\n"
           "            done\n"
           "            return 0 ;;\n"
           "    esac\n"
           "\n"
           "    # Options of the command, or files (the image to check, positional images).\n"
           "    if [[ $cur == -* ]]; then\n"
           "        local options\n"
           "        case $command in\n";
    for (const CommandHelp* command : commandCatalogue()) {
        std::string options;
        for (const OptionSpec& option : command->options) options += std::string(options.empty() ? "" : " ") + "--" + option.name;
        out << "            \"" << command->name << "\") options='" << options << "' ;;\n";
    }
    out << "        esac\n"
           "        COMPREPLY=($(IFS=' '; compgen -W \"$options\" -- \"$cur\"))\n"
           "    else\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "    fi\n"
           "}\n"
           "complete -F _vistereo_cli vistereo-cli\n";
    return out.str();
}

}  // namespace vistereo::cli
