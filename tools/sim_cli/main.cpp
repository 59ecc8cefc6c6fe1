// pcmfilter-sim: runs the driver in a simulated machine from a script, from
// standard input, or interactively, and prints what happened.
//
//   pcmfilter-sim [--registry FILE] [--json] [--test-hooks] [SCRIPT]
//
// Exit status: 0 when every command ran and the verifier recorded no finding
// and nothing leaked at the end; 1 when it recorded one (each printed); 2 for
// a usage error or an unknown or ill-formed command (nothing after it runs);
// 3 when an expect command did not hold.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#if defined(PCMF_HAVE_READLINE)
#include <readline/history.h>
#include <readline/readline.h>
#endif

#include "kernel/host/host_control.h"
#include "kernel/host/registry_control.h"
#include "tools/sim_cli/commands.h"
#include "tools/sim_cli/script.h"

namespace {

using simcli::Context;
using simcli::Result;
using tools::Json;

const char kUsage[] = "usage: pcmfilter-sim [--registry FILE] [--json] [SCRIPT]\n"
                      "Runs the driver in a simulated machine; commands come from SCRIPT or "
                      "standard input.\nType 'help' for the commands.\n";

const char kPrompt[] = "pcmfilter-sim> ";

struct Options {
    std::string registry;
    std::string script;
    bool json = false;
    bool testHooks = false;
};

// Where the lines come from: a file, standard input, or a terminal with line
// editing.
class LineSource {
public:
    LineSource(std::istream* stream, bool interactive)
        : stream_(stream), interactive_(interactive) {}

    bool interactive() const { return interactive_; }

    bool Next(std::string* line) {
        if (interactive_) {
#if defined(PCMF_HAVE_READLINE)
            char* read = readline(kPrompt);
            if (read == nullptr) {
                std::printf("\n");
                return false;
            }
            *line = read;
            if (!simcli::SplitWords(*line).empty()) {
                add_history(read);
            }
            std::free(read);
            return true;
#else
            std::printf("%s", kPrompt);
            std::fflush(stdout);
            if (!std::getline(*stream_, *line)) {
                std::printf("\n");
                return false;
            }
            return true;
#endif
        }
        return static_cast<bool>(std::getline(*stream_, *line));
    }

private:
    std::istream* stream_;
    bool interactive_;
};

class Runner {
public:
    Runner(const Options& options, simcli::Simulation& simulation)
        : options_(options), context_{simulation, options.testHooks, Json::Object(), 0} {}

    // Runs every line; false after an ill-formed one (except at a terminal,
    // where the person simply types again).
    bool Run(LineSource& source) {
        std::string line;
        int number = 0;
        while (source.Next(&line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            simcli::Words words = simcli::SplitWords(line);
            if (words.empty()) {
                continue;
            }
            if (!RunLine(line, words, number) && !source.interactive()) {
                return false;
            }
        }
        return true;
    }

    // The end of a run: orderly shutdown, then the verifier's findings.
    int Finish(bool usageError) {
        simcli::Simulation& simulation = context_.simulation;
        simulation.Shutdown();
        std::vector<hk::Violation> violations = simulation.Violations();
        std::vector<std::string> leaks = hk::Leaks();
        std::vector<PDEVICE_OBJECT> orphans = hk::OrphanedFilters();
        if (!options_.json) {
            std::printf("\nEnd of the run: the service closed its handles, every bus still "
                        "present was removed in order and the drivers unloaded.\n");
            for (PDEVICE_OBJECT orphan : orphans) {
                std::printf("  orphaned filter (left attached after a deferred remove, not a "
                            "leak): %s over %s\n",
                            hk::DeviceLabel(orphan).c_str(),
                            hk::DeviceLabel(hk::LowerOf(orphan)).c_str());
            }
        }
        for (const hk::Violation& violation : violations) {
            Print(simcli::ViolationJson(violation.rule, violation.detail),
                  "  verifier violation " + violation.rule + ": " + violation.detail);
        }
        for (const std::string& leak : leaks) {
            Print(simcli::ViolationJson("leak", leak), "  leak: " + leak);
        }
        bool findings = !violations.empty() || !leaks.empty();
        if (!options_.json && !findings) {
            std::printf("  The verifier recorded no violation and nothing leaked.\n");
        }
        std::fflush(stdout);
        if (usageError) {
            return 2;
        }
        if (findings) {
            return 1;
        }
        return context_.failedExpectations > 0 ? 3 : 0;
    }

private:
    void Print(const Json& json, const std::string& text) {
        if (options_.json) {
            std::printf("%s\n", json.Dump().c_str());
        } else {
            std::printf("%s\n", text.c_str());
        }
    }

    bool RunLine(const std::string& line, const simcli::Words& words, int number) {
        simcli::Words arguments;
        const simcli::Command* command = simcli::FindCommand(words, &arguments, context_.testHooks);
        Result result;
        size_t findingsBefore = hk::Violations().size();
        try {
            if (command == nullptr) {
                throw simcli::UsageError("a command (type 'help' for the list), not \"" + words[0] +
                                         "\"");
            }
            result = command->run(context_, arguments);
        } catch (const simcli::UsageError& error) {
            std::string where = options_.script.empty()
                                    ? "line " + std::to_string(number)
                                    : options_.script + ":" + std::to_string(number);
            Json json = Json::Object();
            json.Set("cmd", line);
            json.Set("ok", false);
            json.Set("error", where + ": expected " + error.what());
            json.Set("line", number);
            json.Set("usage", true);
            if (options_.json) {
                std::printf("%s\n", json.Dump().c_str());
            } else {
                std::fprintf(stderr, "%s: %s\n  expected %s\n", where.c_str(), line.c_str(),
                             error.what());
            }
            std::fflush(stdout);
            return false;
        }

        Json json = Json::Object();
        json.Set("cmd", line);
        json.Set("ok", result.ok);
        if (!result.ok) {
            json.Set("error", result.error);
        }
        for (const auto& field : result.fields.Members()) {
            json.Set(field.first, field.second);
        }
        std::vector<hk::Violation> findings = hk::Violations();
        if (findings.size() > findingsBefore) {
            Json list = Json::Array();
            for (size_t i = findingsBefore; i < findings.size(); ++i) {
                list.Push(simcli::ViolationJson(findings[i].rule, findings[i].detail));
            }
            json.Set("violations", list);
        }
        context_.last = json;

        if (options_.json) {
            std::printf("%s\n", json.Dump().c_str());
        } else {
            bool note = command->name.size() == 1 && command->name[0] == "note";
            if (note) {
                std::printf("\n== %s\n", result.text.empty() ? "" : result.text[0].c_str());
            } else {
                std::printf("%s> %s\n", interactiveEcho_ ? "" : "\n", line.c_str());
                if (!result.ok) {
                    std::printf("   not done: %s\n", result.error.c_str());
                }
                for (const std::string& text : result.text) {
                    std::printf("   %s\n", text.c_str());
                }
            }
            for (size_t i = findingsBefore; i < findings.size(); ++i) {
                std::printf("   ! verifier violation %s: %s\n", findings[i].rule.c_str(),
                            findings[i].detail.c_str());
            }
        }
        std::fflush(stdout);
        return true;
    }

    const Options& options_;
    Context context_;
    bool interactiveEcho_ = false;
};

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--test-hooks") {
            options.testHooks = true;
        } else if (arg == "--registry") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pcmfilter-sim: --registry needs a FILE\n%s", kUsage);
                return 2;
            }
            options.registry = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s\n%s", kUsage, simcli::HelpText().c_str());
            return 0;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "pcmfilter-sim: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        } else if (options.script.empty()) {
            options.script = arg == "-" ? "" : arg;
        } else {
            std::fprintf(stderr, "pcmfilter-sim: only one SCRIPT may be given\n%s", kUsage);
            return 2;
        }
    }
    if (std::getenv("PCMFILTER_SIM_TEST_HOOKS") != nullptr) {
        options.testHooks = true;
    }

    std::ifstream script;
    if (!options.script.empty()) {
        script.open(options.script);
        if (!script) {
            std::fprintf(stderr, "pcmfilter-sim: cannot read the script %s\n",
                         options.script.c_str());
            return 2;
        }
    }

    simcli::Simulation simulation;
    if (!options.registry.empty()) {
        std::string text;
        if (ReadFile(options.registry, &text)) {
            std::string error;
            if (!hk::RegistryImport(text, &error)) {
                std::fprintf(stderr, "pcmfilter-sim: %s: %s\n", options.registry.c_str(),
                             error.c_str());
                return 2;
            }
            if (!options.json) {
                std::printf("Registry imported from %s.\n", options.registry.c_str());
            }
        }
    }

    bool interactive = options.script.empty() && isatty(STDIN_FILENO);
    LineSource source(options.script.empty() ? &std::cin : &script, interactive);
    if (interactive && !options.json) {
        std::printf("pcmfilter-sim: the driver runs in a simulated machine. Type 'help' for the "
                    "commands, Ctrl-D to end.\n");
    }
    Runner runner(options, simulation);
    bool completed = runner.Run(source);
    int status = runner.Finish(!completed);

    if (!options.registry.empty()) {
        std::ofstream out(options.registry, std::ios::binary | std::ios::trunc);
        out << hk::RegistryExport();
        if (!out) {
            std::fprintf(stderr, "pcmfilter-sim: cannot write the registry to %s\n",
                         options.registry.c_str());
            status = status == 0 ? 2 : status;
        } else if (!options.json) {
            std::printf("Registry exported to %s.\n", options.registry.c_str());
        }
    }
    // Whatever the host kernel still holds (findings already reported) goes.
    hk::Reset();
    return status;
}
