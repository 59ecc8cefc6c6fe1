// The simulator's commands: one table of names, arguments, help texts and
// handlers, used to run a line and to print the help.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/common/json.h"
#include "tools/sim_cli/simulation.h"

namespace simcli {

// What a command did: its JSON fields (besides "cmd", "ok" and "error") and
// the same facts as readable lines.
struct Result {
    bool ok = true;
    std::string error;
    tools::Json fields = tools::Json::Object();
    std::vector<std::string> text;
};

struct Context {
    Simulation& simulation;
    bool testHooks = false;     // hidden commands that exist only for tests
    tools::Json last;           // the previous command's JSON line
    int failedExpectations = 0; // expect commands that did not hold
};

using Words = std::vector<std::string>; // the words after the command's name

struct Command {
    std::vector<std::string> name; // "card", "insert"
    std::string arguments;         // "B S KIND"
    std::string help;
    std::function<Result(Context&, const Words&)> run;
    bool hidden = false; // test hook: listed nowhere, refused unless enabled
};

const std::vector<Command>& Commands();

// The command a line's words name (the longest matching name), with the
// remaining words; null when no command has that name.
const Command* FindCommand(const Words& words, Words* arguments, bool testHooks);

// The help text: every visible command with its arguments and what it does.
std::string HelpText();

// The snapshot the "state" command prints.
tools::Json StateJson(Simulation& simulation);
// Findings of the host kernel's verifier as JSON objects.
tools::Json ViolationJson(const std::string& rule, const std::string& detail);

} // namespace simcli
