#!/bin/sh
# The manual pages against the programs they describe:
# - every option each program's usage lists has an entry in the page's
#   OPTIONS (and its default, where the usage gives one), and every entry
#   there is an option the program has; likewise scanid's commands, the exit
#   codes the usage names, and for scanidd every configuration key (the
#   packaged file's and those --check-config prints) in CONFIGURATION;
# - iddemo's build settings are described;
# - each page renders without a roff warning (groff, and man where installed).
# Exits 77 (skipped) without go-md2man or groff.
#
# Usage: check_man_pages.sh SOURCE_DIR SCANID SCANIDD|- [EMULATOR ARGS...]
set -u
src=$1 scanid=$2 scanidd=$3
shift 3
# What is left is the emulator, for a cross build's programs.

command -v go-md2man >/dev/null || { echo "skipped: no go-md2man (apt install go-md2man)"; exit 77; }
command -v groff >/dev/null || { echo "skipped: no groff (apt install groff-base)"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
bad() {
    echo "FAIL: $*"
    fail=1
}

# section PAGE NAME: the lines of one "# NAME" section of a page source.
section() {
    awk -v want="# $2" '/^# / { on = ($0 == want); next } on' "$1"
}

# terms FILE: the words of the definition terms (lines starting with **).
terms() {
    grep '^\*\*' "$1" | sed 's/\*\*\([^*]*\)\*\*/\n\1\n/g' | grep -E '^[A-Za-z0-9_-]+$' | sort -u
}

# options FILE: every option a usage text names.
options() {
    tr -c 'A-Za-z0-9_-' '\n' <"$1" | grep -E '^--?[A-Za-z][A-Za-z0-9-]*$' | sort -u
}

# defaults FILE: "OPTION VALUE" for each usage entry that gives a default.
defaults() {
    awk '
        /^  -/ {
            opts = ""; text = $0
            # The options are what comes before the gap to the description.
            head = $0
            sub(/^ +/, "", head)
            sub(/  .*/, "", head)
            n = split(head, w, /[ ,]+/)
            for (i = 1; i <= n; i++) if (w[i] ~ /^--?[A-Za-z]/) opts = opts " " w[i]
            entry = 1
        }
        /^        / && entry && $0 !~ /^ *-/ { text = text " " $0 }
        /^$/ { entry = 0 }
        { if (entry && match(text, /\(default [^);,]+/)) value[opts] = substr(text, RSTART + 9, RLENGTH - 9) }
        END { for (o in value) { n = split(o, w, " "); for (i = 1; i <= n; i++) print w[i], value[o] } }
    ' "$1"
}

# exit_codes FILE: the codes a usage names after "exit status:".
exit_codes() {
    tr '\n' ' ' <"$1" | sed -n 's/.*exit status: *//p' | grep -oE '(^|, )[0-9]+ ' | grep -oE '[0-9]+' | sort -u
}

# entry PAGE OPTION: the OPTIONS entry whose term names OPTION.
entry() {
    section "$1" OPTIONS | awk -v opt="$2" '
        /^\*\*/ { on = 0; n = split($0, w, /\*\*/); for (i = 1; i <= n; i++) if (w[i] == opt) on = 1 }
        on { printf "%s ", $0 }'
}

# check_options PAGE USAGE...: the page's OPTIONS against the usage texts.
check_options() {
    page=$1
    shift
    cat "$@" >"$tmp/usage"
    section "$page" OPTIONS >"$tmp/options.md"
    terms "$tmp/options.md" | grep '^-' >"$tmp/documented"
    options "$tmp/usage" >"$tmp/offered"
    for o in $(comm -23 "$tmp/offered" "$tmp/documented"); do
        bad "$(basename "$page"): option $o has no entry in OPTIONS"
    done
    for o in $(comm -13 "$tmp/offered" "$tmp/documented"); do
        bad "$(basename "$page"): OPTIONS describes $o, which the program does not offer"
    done
    for f in "$@"; do defaults "$f"; done | sort -u | while read -r o value; do
        entry "$page" "$o" | grep -qF -- "$value" ||
            echo "$(basename "$page"): the entry of $o does not give its default $value"
    done >"$tmp/defaults"
    [ -s "$tmp/defaults" ] && { sed 's/^/FAIL: /' "$tmp/defaults"; fail=1; }
    for f in "$@"; do exit_codes "$f"; done | sort -u | while read -r code; do
        section "$page" "EXIT STATUS" | grep -qE "(^|[^0-9-])$code([^0-9]|$)" ||
            echo "$(basename "$page"): exit status $code is not in EXIT STATUS"
    done >"$tmp/codes"
    [ -s "$tmp/codes" ] && { sed 's/^/FAIL: /' "$tmp/codes"; fail=1; }
}

# --- scanid: the top usage and each command's --help ---
page=$src/docs/man/scanid.1.md
"$@" "$scanid" --help >"$tmp/scanid-top" || bad "scanid --help failed"
commands=$(sed -n '/^commands:/,/^$/s/^  \([a-z][a-z]*\) .*/\1/p' "$tmp/scanid-top")
[ -n "$commands" ] || bad "scanid --help lists no commands"
usages=""
for c in $commands; do
    "$@" "$scanid" "$c" --help >"$tmp/scanid-$c" || bad "scanid $c --help failed"
    usages="$usages $tmp/scanid-$c"
done
# shellcheck disable=SC2086 # one file per command
check_options "$page" "$tmp/scanid-top" $usages
section "$page" COMMANDS >"$tmp/commands.md"
terms "$tmp/commands.md" >"$tmp/documented"
echo "$commands" | tr ' ' '\n' | sort -u >"$tmp/offered"
for c in $(comm -23 "$tmp/offered" "$tmp/documented"); do bad "scanid.1.md: command $c has no entry in COMMANDS"; done
for c in $(comm -13 "$tmp/offered" "$tmp/documented"); do bad "scanid.1.md: COMMANDS describes $c, which scanid does not have"; done

# --- scanidd: its usage, and the configuration keys ---
if [ "$scanidd" != - ]; then
    page=$src/docs/man/scanidd.8.md
    "$@" "$scanidd" --help >"$tmp/scanidd" || bad "scanidd --help failed"
    check_options "$page" "$tmp/scanidd"
    # With a serial reader --check-config prints every setting it has.
    "$@" "$scanidd" --check-config --config /dev/null --serial /dev/null >"$tmp/settings" ||
        bad "scanidd --check-config failed"
    { sed -n 's/^#\{0,1\}\([a-z_][a-z_]*\) =.*/\1/p' "$src/packaging/scanidd/scanidd.conf"
      sed -n 's/^\([a-z_][a-z_]*\) = .*/\1/p' "$tmp/settings"; } | sort -u >"$tmp/offered"
    [ -s "$tmp/offered" ] || bad "no configuration keys found"
    section "$page" CONFIGURATION >"$tmp/config.md"
    terms "$tmp/config.md" >"$tmp/documented"
    for k in $(comm -23 "$tmp/offered" "$tmp/documented"); do
        bad "scanidd.8.md: configuration key $k has no entry in CONFIGURATION"
    done
    for k in $(comm -13 "$tmp/offered" "$tmp/documented"); do
        bad "scanidd.8.md: CONFIGURATION describes $k, which is no key of scanidd.conf or --check-config"
    done
fi

# --- iddemo: no options; its build settings ---
page=$src/docs/man/iddemo.1.md
for s in $(grep -o 'SCANID_DEMO_[A-Z_]*' "$src/CMakeLists.txt" | sort -u) SCANID_STANDBY_HOST; do
    section "$page" OPTIONS | grep -q "\*\*$s\*\*" || bad "iddemo.1.md: build setting $s is not described"
done

# --- rendering ---
for md in "$src"/docs/man/*.md; do
    name=$(basename "$md" .md)
    sed 's/@PROJECT_VERSION@/0.0.0/' "$md" >"$tmp/$name.md"
    go-md2man -in "$tmp/$name.md" -out "$tmp/$name" || { bad "$name: go-md2man failed"; continue; }
    groff -k -t -man -Tutf8 -ww -z -rLL=80n "$tmp/$name" 2>"$tmp/warnings"
    if command -v man >/dev/null; then
        MANWIDTH=80 man --warnings -l "$tmp/$name" 2>>"$tmp/warnings" >/dev/null
    fi
    [ -s "$tmp/warnings" ] && { sed "s/^/FAIL: $name: /" "$tmp/warnings"; fail=1; }
done

[ $fail -eq 0 ] && echo "manual pages OK"
exit $fail
