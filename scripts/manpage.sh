#!/bin/sh
# manpage.sh PROGRAM INCLUDE VERSION OUT
#
# The section 1 manual page of a host tool, made by help2man from the tool's
# own help text, so that the options are described once, in the code: the
# tool's --help (its subcommand list left out), then every subcommand's
# --help as a subsection of COMMANDS, then the sections of INCLUDE (name,
# exit status, examples...). OUT is gzipped as Debian installs manual pages.
set -eu

if [ $# -ne 4 ]; then
    echo "usage: $0 PROGRAM INCLUDE VERSION OUT" >&2
    exit 2
fi
program=$1 include=$2 version=$3 out=$4
name=$(basename "$program")

# help2man runs "PROGRAM --help" and names the page after PROGRAM: a script
# of the tool's name gives it the whole text.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/$name" <<EOF
#!/bin/sh
p='$program'
"\$p" --help | awk '/^Subcommands:/ { skip = 1; next } skip && /^  / { next } { skip = 0; print }'
printf '*Commands*\n'
for sub in \$("\$p" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  / { print \$1; next } { on = 0 }'); do
    # The usage line becomes the subsection's title (help2man wants a
    # colon), the rest is indented under it; each subcommand's -h is
    # the one described under OPTIONS.
    "\$p" "\$sub" --help | awk '
        NR == 1 { description = \$0; next }
        /^Usage: / { sub(/^Usage: /, ""); print \$0 ":"; print "  " description; print ""; next }
        /^(Positionals|Options):/ || /^  -h,--help / || /^\$/ { next }
        # A name that fills its column leaves one space before the text;
        # help2man tells name from text by two.
        substr(\$0, 30, 1) == " " && substr(\$0, 29, 1) != " " && substr(\$0, 31, 1) != " " {
            \$0 = substr(\$0, 1, 30) " " substr(\$0, 31)
        }
        { print }'
    echo
done
EOF
chmod +x "$work/$name"

help2man --no-info --section=1 --version-string="$version" --include="$include" \
    --output="$work/$name.1" "$work/$name"
gzip -9n < "$work/$name.1" > "$out"
