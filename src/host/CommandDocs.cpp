// Writes the manual page tarnel(1) and the bash completion of the command, both from the table of commands
// and options that the parser and every --help use (host/Options.h), so that the three never drift apart.
//   tarnel_docs man VERSION        roff on standard output
//   tarnel_docs bash-completion    a bash-completion script on standard output
#include "host/Options.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

using tarnel::cli::Argument;
using tarnel::cli::Command;
using tarnel::cli::Option;

namespace {

// Text as roff reads it: backslashes and hyphens escaped, and a leading dot or quote kept from being read as
// a request.
std::string Roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

std::string OptionSynopsis(const Option& o) {
    std::string s = o.shortName != '\0' ? std::string("\\-") + o.shortName + ", " : std::string();
    s += "\\fB\\-\\-" + Roff(o.longName) + "\\fR";
    if (o.valueName != nullptr)
        s += " \\fI" + Roff(o.valueName) + "\\fR";
    return s;
}

std::string ArgumentsSynopsis(const Command& c) {
    std::string s;
    for (const Argument& a : c.arguments) {
        std::string one = "\\fI" + Roff(a.name) + "\\fR" + (a.repeatable ? "..." : "");
        s += " " + (a.optional ? "[" + one + "]" : one);
    }
    return s;
}

// Paragraphs of a description, separated by an empty line in the table.
void Paragraphs(const char* text) {
    if (text == nullptr)
        return;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t end = rest.find("\n\n");
        std::printf(".PP\n%s\n", Roff(rest.substr(0, end)).c_str());
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    }
}

void ManCommand(const Command& c, const std::string& path) {
    std::string line = "\\fBtarnel " + Roff(path) + "\\fR";
    if (!c.options.empty())
        line += " [\\fIOPTIONS\\fR]";
    line += ArgumentsSynopsis(c);
    std::printf(".SS \"%s\"\n%s\n", Roff(path).c_str(), line.c_str());
    Paragraphs(c.description);
    for (const Option& o : c.options)
        std::printf(".TP\n%s\n%s\n", OptionSynopsis(o).c_str(), Roff(o.help).c_str());
    Paragraphs(c.epilogue);
    for (const Command& sub : c.commands)
        ManCommand(sub, path + " " + sub.name);
}

int Manual(const char* version) {
    const Command& t = tarnel::cli::kTarnel;
    std::printf(".TH TARNEL 1 \"\" \"tarnel %s\" \"User Commands\"\n", Roff(version).c_str());
    std::printf(".SH NAME\ntarnel \\- %s\n", Roff(t.summary).c_str());
    std::printf(".SH SYNOPSIS\n\\fBtarnel\\fR \\fICOMMAND\\fR [\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]\n.br\n");
    std::printf("\\fBtarnel\\fR \\fB\\-\\-version\\fR | \\fB\\-\\-help\\fR\n");
    std::printf(".SH DESCRIPTION\n");
    Paragraphs(t.description);
    std::printf(".PP\nEvery command takes \\fB\\-h\\fR, \\fB\\-\\-help\\fR and prints its own help.\n");
    std::printf(".SH COMMANDS\n");
    for (const Command& c : t.commands)
        ManCommand(c, c.name);
    std::printf(
        ".SH EXIT STATUS\n"
        ".TP\n0\nthe command did what it was asked (a picture was written, every file was looked at)\n"
        ".TP\n1\nno picture (thumbnail), some files gave none (cache), a file could not be read (info, "
        "why), an export failed (register)\n"
        ".TP\n2\nbad usage, or an OUTPUT that cannot be written\n"
        ".TP\n3\nthumbnail \\-\\-icon: only the icon fallback was written\n"
        ".TP\n4\ncache: the set\\-up failed (no handler, a module that cannot be loaded, a cache that "
        "cannot be written); the cache is as it was\n");
    std::printf(".SH FILES\n"
                ".TP\n\\fI~/.config/tarnel/tarnel.conf\\fR, \\fI/etc/tarnel/tarnel.conf\\fR, "
                "\\fIPREFIX/share/tarnel/tarnel.conf\\fR\nthe settings, in that order, the first to give a "
                "key winning (group [Thumbnails]: SizeLimit, Timeout, Memory, Formats, TransparentMeshes); "
                "GNOME's thumbnailer sandbox sees only the last\n"
                ".TP\n\\fI~/.local/share/tarnel/registry.reg\\fR, \\fI/var/lib/tarnel/registry.reg\\fR\n"
                "the user's and the system's registry ('tarnel registry where' names them)\n"
                ".TP\n\\fI~/.cache/thumbnails\\fR\nthe thumbnail cache that file managers share\n"
                ".TP\n\\fI~/.local/share/thumbnailers/tarnel.thumbnailer\\fR, "
                "\\fIPREFIX/share/thumbnailers/tarnel.thumbnailer\\fR\nthe thumbnailer entries file managers "
                "read, with the MIME definitions in \\fImime/packages/tarnel\\-mime.xml\\fR beside them\n"
                ".TP\n\\fIPREFIX/lib/systemd/user/tarnel\\-cache.service\\fR, "
                "\\fItarnel\\-cache.timer\\fR\nthe user units that run 'tarnel cache' on a timer; the "
                "service takes exit statuses 0 and 1 as success, 4 (a broken set\\-up) as failure\n");
    std::printf(
        ".SH ENVIRONMENT\n"
        ".TP\n\\fBTARNEL_SIZE_LIMIT\\fR, \\fBTARNEL_IGNORE_SIZE\\fR\nthe size limit of a source file "
        "(default 2097152 bytes, or the settings' SizeLimit); TARNEL_IGNORE_SIZE=1 lifts it; both beat "
        "the settings\n"
        ".TP\n\\fBTARNEL_MEMORY_LIMIT\\fR\nthe memory bound of the child that reads a file, in MiB\n"
        ".TP\n\\fBTARNEL_SETTINGS\\fR\none settings file instead of the user's, the system's and the "
        "packaged one\n"
        ".TP\n\\fBTARNEL_REGISTRY\\fR\none registry file instead of the user's and the system's\n"
        ".TP\n\\fBXDG_CONFIG_HOME\\fR, \\fBXDG_DATA_HOME\\fR, \\fBXDG_CACHE_HOME\\fR, "
        "\\fBXDG_DATA_DIRS\\fR\nwhere the settings, entries and cache are looked for\n");
    std::printf(".SH EXAMPLES\n"
                ".TP\n\\fBtarnel install \\-\\-user\\fR\nthumbnails for this user's file managers\n"
                ".TP\n\\fBtarnel why ~/Models/bracket.stl\\fR\nwhy a file shows no thumbnail\n"
                ".TP\n\\fBtarnel cache \\-\\-size x\\-large ~/Projects\\fR\nfill the cache for a folder\n"
                ".TP\n\\fBtarnel cache \\-\\-forget ~/Models/bracket.stl\\fR\nlet file managers try a file "
                "again\n"
                ".TP\n\\fBtarnel thumbnail \\-s 512 plate.qzt plate.png\\fR\none thumbnail, by hand\n");
    std::printf(".SH SEE ALSO\n\\fBnautilus\\fR(1), \\fBthunar\\fR(1), \\fBdolphin\\fR(1), "
                "\\fBupdate\\-mime\\-database\\fR(1), \\fBsystemd.timer\\fR(5)\n");
    Paragraphs(t.epilogue);
    return 0;
}

// The words that may follow a command path, for bash: sub-command names, then long and short options.
std::string Words(const Command& c) {
    std::string w;
    auto add = [&w](const std::string& word) { w += (w.empty() ? "" : " ") + word; };
    for (const Command& sub : c.commands)
        add(sub.name);
    for (const Option& o : c.options) {
        add(std::string("--") + o.longName);
        if (o.shortName != '\0')
            add(std::string("-") + o.shortName);
    }
    add("--help");
    return w;
}

// The options whose value names a file, a folder, one of a few choices, or anything else, as case patterns.
struct ValueKinds {
    std::string files, folders, others;
    std::string choiceCases; // "--size|-s) choices='...' ;;" lines
};

void ValueOptions(const Command& c, ValueKinds& kinds) {
    for (const Option& o : c.options) {
        if (o.valueName == nullptr)
            continue;
        const std::string_view value = o.valueName;
        if (o.choices != nullptr) {
            // Options of the same name elsewhere (thumbnail's --size) take other values: the words after
            // the command tell them apart.
            kinds.choiceCases +=
                std::string("        \"") + c.name + " --" + o.longName + "\"" +
                (o.shortName != '\0' ? std::string("|\"") + c.name + " -" + o.shortName + "\"" : "") +
                ") COMPREPLY=($(compgen -W \"" + o.choices + "\" -- \"$cur\")); return ;;\n";
            continue;
        }
        std::string& into = value == "PATH" || value == "FILE" ? kinds.files
                            : value == "DIR"                   ? kinds.folders
                                                               : kinds.others;
        for (std::string name : {std::string("--") + o.longName,
                                 o.shortName != '\0' ? std::string("-") + o.shortName : std::string()}) {
            if (name.empty() || (" " + into + "|").find(" " + name + "|") != std::string::npos ||
                ("|" + into + "|").find("|" + name + "|") != std::string::npos)
                continue;
            into += (into.empty() ? "" : "|") + name;
        }
    }
    for (const Command& sub : c.commands)
        ValueOptions(sub, kinds);
}

void PathCases(const Command& c, const std::string& path) {
    std::printf("        \"%s\") here=\"%s\"%s ;;\n", path.c_str(), Words(c).c_str(),
                c.commands.empty() ? "" : " commands=1");
    for (const Command& sub : c.commands)
        PathCases(sub, path.empty() ? sub.name : path + " " + sub.name);
}

int Completion() {
    const Command& t = tarnel::cli::kTarnel;
    ValueKinds kinds;
    ValueOptions(t, kinds);
    std::printf("# bash completion for tarnel -*- shell-script -*-\n"
                "# Written from the command's own table of commands and options.\n\n"
                "_tarnel()\n{\n"
                "    local cur prev words cword\n"
                "    if declare -F _init_completion >/dev/null; then\n"
                "        _init_completion || return\n"
                "    else\n"
                "        words=(\"${COMP_WORDS[@]}\") cword=$COMP_CWORD\n"
                "        cur=${words[cword]} prev=${words[cword - 1]}\n"
                "    fi\n\n"
                "    # An option's value: a file, a folder, one of its few values, or anything.\n"
                "    case \"${words[1]} $prev\" in\n"
                "%s"
                "    esac\n"
                "    case $prev in\n"
                "        %s)\n"
                "            _tarnel_files\n"
                "            return\n"
                "            ;;\n"
                "        %s)\n"
                "            _tarnel_folders\n"
                "            return\n"
                "            ;;\n"
                "        %s)\n"
                "            return\n"
                "            ;;\n"
                "    esac\n\n"
                "    # The command named so far: each word that names a command of the one before it.\n"
                "    local path=\"\" here=\"\" commands=\"\" i\n"
                "    for ((i = 1; i < cword; i++)); do\n"
                "        here=\"\" commands=\"\"\n"
                "        _tarnel_words \"$path\"\n"
                "        [[ -n $commands && \" $here \" == *\" ${words[i]} \"* && ${words[i]} != -* ]] &&\n"
                "            path=\"${path:+$path }${words[i]}\"\n"
                "    done\n"
                "    here=\"\" commands=\"\"\n"
                "    _tarnel_words \"$path\"\n"
                "    if [[ $cur == -* || -n $commands ]]; then\n"
                "        COMPREPLY=($(compgen -W \"$here\" -- \"$cur\"))\n"
                "    else\n"
                "        _tarnel_files\n"
                "    fi\n"
                "} &&\n"
                "    complete -F _tarnel tarnel\n\n"
                "_tarnel_files()\n{\n"
                "    if declare -F _filedir >/dev/null; then\n"
                "        _filedir\n"
                "    else\n"
                "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
                "    fi\n"
                "}\n\n"
                "_tarnel_folders()\n{\n"
                "    if declare -F _filedir >/dev/null; then\n"
                "        _filedir -d\n"
                "    else\n"
                "        COMPREPLY=($(compgen -d -- \"$cur\"))\n"
                "    fi\n"
                "}\n\n"
                "_tarnel_words()\n{\n"
                "    case $1 in\n",
                kinds.choiceCases.c_str(), kinds.files.empty() ? "--no-such-option" : kinds.files.c_str(),
                kinds.folders.empty() ? "--no-such-option" : kinds.folders.c_str(),
                kinds.others.empty() ? "--no-such-option" : kinds.others.c_str());
    PathCases(t, "");
    std::printf("    esac\n}\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "man") == 0)
        return Manual(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "bash-completion") == 0)
        return Completion();
    std::fputs("usage: tarnel_docs man VERSION | bash-completion\n", stderr);
    return 2;
}
