#include "cli/options/json_reply.h"

#include <exception>
#include <sstream>

#include "cli/options/exit_status.h"
#include "cli/options/common.h"
#include "imagefile/input.h"

namespace vistereo::cli {

bool asksForJson(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (arg == "--json") return true;
    }
    return false;
}

const char* exitMeaning(int status) {
    switch (status) {
        case kExitOk: return "done";
        case kExitUsage: return "usage error";
        default: return "refused or failed";
    }
}

int answerInJson(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonCommand command) {
    bool help = false;
    for (const std::string& arg : args) {
        if (arg == "--") break;
        help = help || arg == "--help" || arg == "-h";
    }
    if (!asksForJson(args) || help) return command(args, out, err, nullptr);

    ErrorLog log(err);
    // Whatever the command still prints as text goes to the error stream:
    // standard output carries the object alone.
    JsonReply reply;
    int status = kExitFailed;
    try {
        status = command(args, log, log, &reply);
    } catch (const std::exception& e) {
        printError(log, "the command failed: " + describeException(e));
        status = kExitFailed;
    } catch (...) {
        printError(log, "unexpected failure");
        status = kExitFailed;
    }
    std::string error;
    for (const std::string& text : log.errors) error += (error.empty() ? "" : "\n") + text;
    if (status != kExitOk && error.empty()) error = exitMeaning(status);
    std::string object = "{\"ok\": " + std::string(status == kExitOk ? "true" : "false");
    if (!reply.members().empty()) object += ", " + reply.members();
    object += ", \"error\": " + (status == kExitOk ? std::string("null") : jsonString(error));
    if (status != kExitOk) object += ", \"reason\": " + jsonString(error);
    object += ", \"exit_status\": " + std::to_string(status) + ", \"exit_meaning\": " + jsonString(exitMeaning(status));
    out << object << "}\n" << std::flush;
    return status;
}

}  // namespace vistereo::cli
