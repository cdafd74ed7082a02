#include "host/CommandLine.h"

#include "host/Escape.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using tarnel::cli::Argument;
using tarnel::cli::Command;
using tarnel::cli::Option;

namespace {

// Help texts are wrapped to this width.
constexpr size_t kWidth = 100;
// The exit status of a usage error, as the commands' ExitStatus has it.
constexpr int kUsageStatus = 2;

std::string Dashed(const Option& option) {
    return std::string("--") + option.longName;
}

const Option* FindOption(const Command& command, std::string_view longName, char shortName) {
    for (const Option& option : command.options)
        if (shortName != '\0' ? option.shortName == shortName : longName == option.longName)
            return &option;
    return nullptr;
}

// Takes one option at argv[i] (advancing i past a value of its own). False with the reason in problem.
bool TakeOption(const Command& command, int argc, char** argv, int& i, CommandLine& line,
                std::string& problem) {
    const char* a = argv[i];
    std::string_view longName;
    const char* inlineValue = nullptr;
    char shortName = '\0';
    if (a[1] == '-') {
        longName = a + 2;
        if (const size_t equals = longName.find('='); equals != std::string_view::npos) {
            inlineValue = a + 2 + equals + 1;
            longName = longName.substr(0, equals);
        }
    } else if (a[2] == '\0') {
        shortName = a[1];
    }
    if (shortName == tarnel::cli::kHelp.shortName || longName == tarnel::cli::kHelp.longName) {
        line.help = true;
        return true;
    }
    const Option* option =
        longName.empty() && shortName == '\0' ? nullptr : FindOption(command, longName, shortName);
    if (option == nullptr) {
        problem =
            "unknown option " +
            Printable(std::string_view(a, inlineValue != nullptr ? inlineValue - 1 - a : std::strlen(a)));
        return false;
    }
    const char* value = nullptr;
    if (option->valueName == nullptr) {
        if (inlineValue != nullptr) {
            problem = Dashed(*option) + " takes no value";
            return false;
        }
    } else {
        value = inlineValue != nullptr ? inlineValue : i + 1 < argc ? argv[++i] : nullptr;
        if (value == nullptr || value[0] == '\0') {
            problem = Dashed(*option) + " needs a value (" + option->valueName + ")";
            return false;
        }
    }
    for (const CommandLine::Given& earlier : line.given) {
        if (earlier.option == option && !option->repeatable) {
            problem = Dashed(*option) + " is given twice";
            return false;
        }
        if (earlier.option != option && option->group != 0 && earlier.option->group == option->group) {
            problem = Dashed(*earlier.option) + " and " + Dashed(*option) + " exclude each other";
            return false;
        }
    }
    line.given.push_back({option, value});
    return true;
}

// The names of a group's options: "--prepare, --remove or --where", "--user | --system".
std::string GroupNames(const Command& command, int group, const char* between, const char* last) {
    std::vector<std::string> names;
    for (const Option& option : command.options)
        if (option.group == group)
            names.push_back(Dashed(option));
    std::string text;
    for (size_t n = 0; n < names.size(); ++n)
        text += (n == 0 ? "" : n + 1 == names.size() ? last : between) + names[n];
    return text;
}

// Checks what the line as a whole needs: the command's arguments and its required group.
bool CheckComplete(const Command& command, const CommandLine& line, std::string& problem) {
    if (!command.commands.empty()) {
        problem = "COMMAND is needed";
        return false;
    }
    size_t needed = 0;
    for (const Argument& argument : command.arguments)
        needed += argument.optional ? 0 : 1;
    if (line.arguments.size() < needed) {
        problem = std::string(command.arguments[line.arguments.size()].name) + " is needed";
        return false;
    }
    if (command.requiredGroup != 0 &&
        std::none_of(line.given.begin(), line.given.end(),
                     [&](const CommandLine::Given& g) { return g.option->group == command.requiredGroup; })) {
        problem = GroupNames(command, command.requiredGroup, ", ", " or ") + " is needed";
        return false;
    }
    return true;
}

// Words wrapped to kWidth: the first starts at `column`, every later line at `indent`.
std::string Wrap(const std::vector<std::string>& words, size_t column, size_t indent) {
    std::string text;
    size_t at = column;
    for (const std::string& word : words) {
        if (!text.empty() && at + 1 + word.size() > kWidth) {
            text += "\n" + std::string(indent, ' ');
            at = indent;
        } else if (!text.empty()) {
            text += ' ';
            ++at;
        }
        text += word;
        at += word.size();
    }
    return text;
}

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(' ', start), text.size());
        if (end > start)
            words.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

// The synopsis of a command's options and arguments, as words that are not broken apart.
std::vector<std::string> Synopsis(const Command& command) {
    std::vector<std::string> words;
    std::vector<int> groupsDone;
    for (const Option& option : command.options) {
        if (option.group != 0) {
            if (std::find(groupsDone.begin(), groupsDone.end(), option.group) != groupsDone.end())
                continue;
            groupsDone.push_back(option.group);
            const std::string group = GroupNames(command, option.group, " | ", " | ");
            words.push_back(option.group == command.requiredGroup ? "(" + group + ")" : "[" + group + "]");
            continue;
        }
        std::string word =
            "[" + Dashed(option) + (option.valueName ? std::string(" ") + option.valueName : "") + "]";
        words.push_back(option.repeatable ? word + "..." : word);
    }
    for (const Argument& argument : command.arguments) {
        std::string word = std::string(argument.name) + (argument.repeatable ? "..." : "");
        words.push_back(argument.optional ? "[" + word + "]" : word);
    }
    if (!command.commands.empty()) {
        words.emplace_back("COMMAND");
        words.emplace_back("[ARGS]");
    }
    return words;
}

// Paragraphs (separated by an empty line) wrapped to kWidth.
std::string Paragraphs(std::string_view text) {
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\n\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        out += (out.empty() ? "" : "\n") + Wrap(Words(text.substr(start, end - start)), 0, 0) + "\n";
        start = end + 2;
    }
    return out;
}

std::string OptionLabel(const Option& option) {
    std::string label = option.shortName != '\0' ? std::string("-") + option.shortName + ", " : "";
    return label + Dashed(option) + (option.valueName ? std::string(" ") + option.valueName : "");
}

} // namespace

bool CommandLine::Has(std::string_view option) const {
    return !Values(option).empty();
}

const char* CommandLine::Value(std::string_view option) const {
    const std::vector<const char*> values = Values(option);
    return values.empty() ? nullptr : values.back();
}

std::vector<const char*> CommandLine::Values(std::string_view option) const {
    if (command == nullptr || FindOption(*command, option, '\0') == nullptr)
        std::abort(); // the command has no such option: a mistake in the code that asks
    std::vector<const char*> values;
    for (const Given& g : given)
        if (option == g.option->longName)
            values.push_back(g.value != nullptr ? g.value : "");
    return values;
}

const Command* FindCommand(std::string_view name) {
    for (const Command& command : tarnel::cli::kTarnel.commands)
        if (name == command.name)
            return &command;
    return nullptr;
}

bool ParseCommandLine(const Command& command, const std::string& name, int argc, char** argv,
                      CommandLine& line, std::string& problem) {
    line.command = &command;
    line.name = name;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (options && std::strcmp(a, "--") == 0) {
            options = false;
        } else if (options && a[0] == '-' && a[1] != '\0') {
            if (!TakeOption(command, argc, argv, i, line, problem))
                return false;
            if (line.help)
                return true;
        } else if (!command.commands.empty()) {
            for (const Command& sub : command.commands)
                if (std::strcmp(a, sub.name) == 0)
                    return ParseCommandLine(sub, name + " " + sub.name, argc - i, argv + i, line, problem);
            problem = "unknown command '" + Printable(a) + "'";
            return false;
        } else {
            const bool more = line.arguments.size() < command.arguments.size() ||
                              (!command.arguments.empty() && command.arguments.back().repeatable);
            if (!more) {
                problem = "unexpected argument '" + Printable(a) + "'";
                return false;
            }
            line.arguments.push_back(a);
        }
    }
    return CheckComplete(command, line, problem);
}

bool ParseCommandLine(std::string_view command, int argc, char** argv, CommandLine& line,
                      std::string& problem) {
    const Command* found = FindCommand(command);
    if (found == nullptr)
        std::abort(); // every caller names a command of the table
    return ParseCommandLine(*found, "tarnel " + std::string(command), argc, argv, line, problem);
}

std::string UsageText(const Command& command, const std::string& name) {
    const std::string lead = "usage: " + name;
    const std::string synopsis = Wrap(Synopsis(command), lead.size() + 1, lead.size() + 1);
    return lead + (synopsis.empty() ? "" : " " + synopsis) + "\n";
}

std::string HelpText(const Command& command, const std::string& name) {
    std::string text = UsageText(command, name);
    if (command.description != nullptr)
        text += "\n" + Paragraphs(command.description);
    if (!command.options.empty()) {
        size_t width = 0;
        for (const Option& option : command.options)
            width = std::max(width, OptionLabel(option).size());
        const size_t column = 2 + std::min<size_t>(width, 24) + 2;
        text += "\n";
        for (const Option& option : command.options) {
            std::string label = "  " + OptionLabel(option);
            label += label.size() + 2 <= column ? std::string(column - label.size(), ' ')
                                                : "\n" + std::string(column, ' ');
            text += label + Wrap(Words(option.help), column, column) + "\n";
        }
    }
    if (!command.commands.empty()) {
        text += "\ncommands:\n";
        for (const Command& sub : command.commands) {
            const size_t indent = 2 + std::strlen(sub.name) + 1;
            const std::string synopsis = Wrap(Synopsis(sub), indent, indent);
            text += "  " + std::string(sub.name) + (synopsis.empty() ? "" : " " + synopsis) + "\n";
            text += std::string(12, ' ') + Wrap(Words(sub.summary), 12, 12) + "\n";
        }
    }
    if (command.epilogue != nullptr)
        text += "\n" + Paragraphs(command.epilogue);
    return text;
}

int UsageError(const CommandLine& line, const std::string& problem) {
    const Command& command = line.command != nullptr ? *line.command : tarnel::cli::kTarnel;
    const std::string name = line.command != nullptr ? line.name : "tarnel";
    std::fprintf(stderr, "%s: %s\n%sRun '%s --help' for more.\n", name.c_str(), problem.c_str(),
                 UsageText(command, name).c_str(), name.c_str());
    return kUsageStatus;
}

int AnswerCommandLine(bool parsed, const CommandLine& line, const std::string& problem) {
    if (!parsed)
        return UsageError(line, problem);
    if (line.help) {
        std::fputs(HelpText(*line.command, line.name).c_str(), stdout);
        return 0;
    }
    return -1;
}
