// Command lines read against the tables of host/Options.h, and the help and usage texts made from them. One
// set of rules for every command: options by long name (--size N, --size=N) or short name (-s N), -- ends
// the options, an option's value may not be empty, an option given twice or with one it excludes is refused,
// -h and --help print the help and stop the reading.
#pragma once

#include "host/Options.h"

#include <string>
#include <string_view>
#include <vector>

struct CommandLine {
    const tarnel::cli::Command* command = nullptr; // the command or sub-command the line names
    std::string name;                              // "tarnel registry dump", for messages and the help
    bool help = false;                             // -h or --help: nothing after it was read
    struct Given {
        const tarnel::cli::Option* option;
        const char* value; // null for an option without a value
    };
    std::vector<Given> given;           // in the order given
    std::vector<const char*> arguments; // the command's arguments

    // Whether the option (by its long name, which must be one of the command's) was given.
    bool Has(std::string_view option) const;
    // The option's value (the last one given of a repeatable option); null when it was not given.
    const char* Value(std::string_view option) const;
    std::vector<const char*> Values(std::string_view option) const;
};

// The command of kTarnel's list with that name ("thumbnail"); null for none.
const tarnel::cli::Command* FindCommand(std::string_view name);

// Reads argv[1..argc) as the arguments of `command` (whose name argv[0] holds), called `name` in messages.
// False with the reason in problem, line.command and line.name telling the command (or sub-command) reached.
bool ParseCommandLine(const tarnel::cli::Command& command, const std::string& name, int argc, char** argv,
                      CommandLine& line, std::string& problem);
// The same for the command of kTarnel's list called `command`.
bool ParseCommandLine(std::string_view command, int argc, char** argv, CommandLine& line,
                      std::string& problem);

// "usage: tarnel cache [--size NAME] ... [PATH...]", wrapped, with a line break at the end.
std::string UsageText(const tarnel::cli::Command& command, const std::string& name);
// The usage, the description, the options and the commands (for a command with sub-commands), the epilogue.
std::string HelpText(const tarnel::cli::Command& command, const std::string& name);

// Prints a usage error on stderr: "NAME: PROBLEM", the usage and where the help is. Returns the exit status.
int UsageError(const CommandLine& line, const std::string& problem);

// After ParseCommandLine (parsed: its result): prints the usage error or the help the line asks for and
// returns the command's exit status then (2 or 0); -1 when the command goes on with its work.
int AnswerCommandLine(bool parsed, const CommandLine& line, const std::string& problem);
