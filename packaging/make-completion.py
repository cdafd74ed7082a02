#!/usr/bin/env python3
"""Writes tarnel's bash completion from its help text: the commands that `tarnel --help` lists, and for each
the options and sub-commands that `tarnel COMMAND --help` shows. Usage: make-completion.py TARNEL OUTPUT"""
import re
import subprocess
import sys


def help_text(tarnel, *args):
    run = subprocess.run([tarnel, *args, "--help"], capture_output=True, text=True)
    return run.stdout + run.stderr


def commands(text):
    """The commands of the 'commands:' list: its lines indented by exactly two spaces."""
    listed = text.split("commands:", 1)[1] if "commands:" in text else ""
    return list(dict.fromkeys(re.findall(r"^  ([a-z][-a-z]*)", listed, re.M)))


def words_of(command, text):
    """Options anywhere in the command's help; sub-commands as the usage lines name them."""
    options = re.findall(r"(?<![\w-])(--?[a-zA-Z][-a-zA-Z]*)", text)
    subs = re.findall(r"tarnel " + re.escape(command) + r" ([a-z][-a-z]*)", text)
    return list(dict.fromkeys(o for o in options if o != "--")), list(dict.fromkeys(subs))


def main():
    tarnel, output = sys.argv[1], sys.argv[2]
    names = commands(help_text(tarnel))
    if not names:
        sys.exit("make-completion: no commands in the output of '%s --help'" % tarnel)
    cases = []
    for name in names:
        options, subs = words_of(name, help_text(tarnel, name))
        cases.append('        %s) options="%s" subs="%s" ;;' % (name, " ".join(options), " ".join(subs)))
    script = """# bash completion for tarnel, made from its help text at build time.
_tarnel() {
    local cur=${COMP_WORDS[COMP_CWORD]} options="" subs=""
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "%s --help --version" -- "$cur"))
        return
    fi
    case ${COMP_WORDS[1]} in
%s
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [ "$COMP_CWORD" -eq 2 ] && [ -n "$subs" ]; then
        COMPREPLY=($(compgen -W "$subs" -- "$cur"))
    fi
    # Otherwise a file name: readline's own completion (-o default).
}
complete -o default -F _tarnel tarnel
""" % (" ".join(names), "\n".join(cases))
    with open(output, "w") as f:
        f.write(script)


main()
