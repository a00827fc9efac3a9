# Turns the text of `orvane-db --help` into its manual page (mode=man) or its
# bash completion (mode=bash), so that both follow the help as it changes.
#
# The help is read as: a line indented by two spaces is a command's usage
# ("  orvane-db import ARCHIVO ENTRADA [--format csv|vcard] [--dry-run]"), the
# deeper indented lines below it describe it, an unindented line ending in
# ":" is a heading and any other unindented line is a paragraph. The first
# heading ("Uso:") opens the page's ÓRDENES; each later one ("Estado de
# salida:") a section of its own.
#
#   awk -v mode=man -v version=0.90 -v date=2026-12-07 -f fromhelp.awk help.txt
#   awk -v mode=bash -f fromhelp.awk help.txt

function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    sub(/^[.']/, "\\\\\\&&", s)
    return s
}

# A usage line in man's style: the command in bold, CAPITALS (what the user
# fills in) in italics, options in bold.
function usage(line,    n, w, i, out, word, lead, tail) {
    n = split(line, w, " ")
    out = ""
    for (i = 1; i <= n; i++) {
        word = w[i]
        lead = word; sub(/[^[].*$/, "", lead)
        tail = word; sub(/^.*[^]]/, "", tail)
        word = substr(word, length(lead) + 1, length(word) - length(lead) - length(tail))
        if ((i <= 2 && word !~ /^[[:upper:]]+$/) || word ~ /^-/)
            word = "\\fB" roff(word) "\\fR"
        else if (word ~ /^[[:upper:]]+$/)
            word = "\\fI" word "\\fR"
        else
            word = roff(word)
        out = out (i > 1 ? " " : "") lead word tail
    }
    return out
}

# The completion's cases for one usage line: its options after the command,
# and the values of those that take one (choices when written a|b|c).
function options(line,    n, w, i, word, name, list) {
    n = split(line, w, " ")
    if (index(commands " ", " " w[2] " ")) return
    commands = commands " " w[2]
    for (i = 3; i <= n; i++) {
        word = w[i]
        gsub(/^\[|\]$/, "", word)
        if (word !~ /^--/) continue
        name = word
        list = list " " name
        if (w[i] !~ /\]$/ && i < n && w[i + 1] !~ /^\[?-/) {
            word = w[++i]
            gsub(/\]$/, "", word)
            if (word !~ /\|/) word = ""
            gsub(/\|/, " ", word)
            values = values "    " w[2] ":" name ") mapfile -t COMPREPLY < <(compgen -W '" word "' -- \"$cur\"); return ;;\n"
        }
    }
    if (list != "") opts = opts "    " w[2] ") opts='" substr(list, 2) "' ;;\n"
}

/^  [^ ]/ {
    line = $0; sub(/^ +/, "", line)
    if (mode == "bash") {
        if (line ~ /^orvane-db [a-z]/) options(line)
        next
    }
    synopsis[++nsyn] = usage(line)
    body = body ".TP\n" usage(line) "\n"
    next
}
/^   / {
    if (mode == "man") { line = $0; sub(/^ +/, "", line); body = body roff(line) "\n" }
    next
}
/^[^ ].*:$/ {
    if (mode == "man" && ++headings > 1) body = body ".SH " toupper(roff(substr($0, 1, length($0) - 1))) "\n"
    next
}
/^[^ ]/ {
    if (mode == "man") body = body ".PP\n" roff($0) "\n"
    next
}

END {
    if (mode == "bash") {
        print "# bash completion for orvane-db, made from `orvane-db --help` at build time."
        print "_orvane_db() {"
        print "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} opts="
        print "    if ((COMP_CWORD == 1)); then"
        print "        mapfile -t COMPREPLY < <(compgen -W '" substr(commands, 2) " --help --version' -- \"$cur\")"
        print "        return"
        print "    fi"
        print "    case ${COMP_WORDS[1]}:$prev in"
        printf "%s", values
        print "    esac"
        print "    case ${COMP_WORDS[1]} in"
        printf "%s", opts
        print "    esac"
        print "    if [[ $cur == -* ]]; then"
        print "        mapfile -t COMPREPLY < <(compgen -W \"$opts\" -- \"$cur\")"
        print "    else"
        print "        compopt -o default"
        print "        COMPREPLY=()"
        print "    fi"
        print "}"
        print "complete -F _orvane_db orvane-db"
        exit
    }
    print ".\\\" -*- coding: UTF-8 -*-"
    print ".\\\" Made from `orvane-db --help` at build time; edit the help, not this page."
    print ".TH ORVANE\\-DB 1 \"" date "\" \"Orvane " version "\" \"Órdenes de usuario\""
    print ".nh"
    print ".ad l"
    print ".SH NOMBRE"
    print "orvane\\-db \\- crea, llena, lista, importa y exporta agendas de Orvane"
    print ".SH SINOPSIS"
    for (i = 1; i <= nsyn; i++) print (i > 1 ? ".br\n" : "") synopsis[i]
    print ".SH DESCRIPCIÓN"
    print "\\fBorvane\\-db\\fR es el compañero de línea de órdenes de \\fBorvane\\fR(1): trabaja"
    print "sobre una agenda, el archivo \\fIorv.mdb\\fR que abre \\fBorvane\\fR."
    print "Los mensajes se escriben en la salida de errores, cada uno con la forma"
    print "\\(Foorvane\\-db: texto\\(Fc; el estado de salida dice si la orden ha ido bien."
    print ".SH ÓRDENES"
    printf "%s", body
    print ".SH ARCHIVOS"
    print ".TP"
    print ".I ~/.local/share/orvane/orv.mdb"
    print "la agenda de cada usuario (\\fI$XDG_DATA_HOME/orvane/orv.mdb\\fR si esa"
    print "variable tiene valor), la que abre \\fBorvane\\fR instalado."
    print ".SH VÉASE TAMBIÉN"
    print ".BR orvane (1)"
}
