#!/usr/bin/env bash
# The manual page and the bash completion against the program's own help:
# every command and option it has is documented and completed, and neither
# offers an option it lacks.
# Arguments: the zq5210 program, the examples folder, the source folder.
set -u
. "$(dirname "$0")/harness.bash"  # takes ZQ5210 EXAMPLES_DIR
source_dir=$3
manual=$source_dir/packaging/man/zq5210.1

# the long options a help text lists, one per line, sorted
help_options() { "$zq" "$@" --help | grep -oE '^ +(-[a-z],)?--[a-z][a-z-]*' |
  grep -oE -- '--[a-z-]+' | grep -vx -- --help | sort; }
commands=$("$zq" --help | sed '1,/^Subcommands:/d; /^$/,$d' | awk '{print $1}')
check "the help lists commands" test -n "$commands"

# the long options in a section of the manual page (.SS or .SH title)
manual_options() {
  sed 's/\\-/-/g' "$manual" |
    awk -v title="$1" '/^\.S[SH] / { inside = ($2 == title) } inside && prev == ".TP" { print }
                        { prev = $0 }' | grep -oE -- '--[a-z-]+' | sort -u |
    grep -vx -- --help
}
device_options=$(manual_options DEVICE)
common_options=$(manual_options COMMON)

# what the completion offers for the words given (the last one is completed)
. "$source_dir/packaging/bash-completion/zq5210"
complete_words() {
  COMP_WORDS=(zq5210 "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _zq5210
  printf '%s\n' "${COMPREPLY[@]}" | grep -vx -- --help | sort
}

check "global options documented" test "$(help_options)" = "$(manual_options OPTIONS)"
check "global options completed" test "$(help_options)" = "$(complete_words -)"
for command in $commands; do
  want=$(help_options "$command")
  documented=$(printf '%s\n%s\n' "$(manual_options "$command")" "$common_options" | grep . | sort)
  # a command that takes the device options says so in its section
  if sed 's/\\-/-/g' "$manual" | awk -v t="$command" '/^\.S[SH] / { s = ($2 == t) } s' |
    grep -q 'DEVICE OPTIONS'; then
    documented=$(printf '%s\n%s\n' "$documented" "$device_options" | grep . | sort)
  fi
  check "$command: its options documented" test "$want" = "$documented"
  check "$command: its options completed" test "$want" = "$(complete_words "$command" -)"
  check "$command: completed as a command" grep -qx -- "$command" <(complete_words "${command:0:2}")
done
help_codes=$("$zq" --help | sed '1,/^Exit status:/d' | grep -oE '^ +[0-9]+' | tr -d ' ')
manual_codes=$(awk '/^\.SH / { inside = ($2 == "EXIT") } inside && prev == ".TP" { print $2 }
                    { prev = $0 }' "$manual")
check "exit statuses documented" test -n "$help_codes" -a "$help_codes" = "$manual_codes"
check "--transport values completed" \
  test "$(complete_words info --transport "" | tr '\n' ' ')" = "aspi pass-through "
touch "$work/image.hex"
check "IMAGE completes files" grep -qx "$work/image.hex" <(complete_words update "$work/im")

finish
