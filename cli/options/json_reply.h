// --json: a command asked for it prints exactly one JSON object on standard
// output, whatever happens, usage errors and refusals included, so that a
// script can read every run the same way:
//
//   {"ok": true, <the command's own members>, "error": null,
//    "exit_status": 0, "exit_meaning": "done"}
//   {"ok": false, <members the command had to tell, if any>,
//    "error": "<what the command said on stderr as errors>", "reason": <the same>,
//    "exit_status": 1, "exit_meaning": "refused or failed"}
//
// "reason" repeats "error" for the scripts written when failures carried
// only it. Text that is not UTF-8 (a file's name) is escaped so that the
// object always parses (jsonString).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vistereo::cli {

// What a command tells in its object: its members, `"key": value` pairs
// joined by ", " (without braces, "ok" or "error").
class JsonReply {
public:
    void set(std::string members) { members_ = std::move(members); }
    const std::string& members() const { return members_; }

private:
    std::string members_;
};

// A command under the contract: with `reply` (the run asked for --json) it
// puts its result's members there instead of printing text on `out`, and
// says its errors with printError as always.
using JsonCommand = int (*)(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                            JsonReply* reply);

// The error stream a command gets under --json: the caller's own stream,
// which also keeps each text printError prints on it, for the object.
class ErrorLog : public std::ostream {
public:
    explicit ErrorLog(std::ostream& to) : std::ostream(to.rdbuf()) {}
    std::vector<std::string> errors;
};

// Whether the arguments ask for --json (among the options: before a "--").
bool asksForJson(const std::vector<std::string>& args);

// Runs `command`; when the arguments ask for --json (and not for --help),
// prints the one object: the command's members, the errors it printed (an
// exception it let out becomes one), the exit status and what it means.
int answerInJson(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, JsonCommand command);

// "done", "refused or failed", "usage error".
const char* exitMeaning(int status);

}  // namespace vistereo::cli
