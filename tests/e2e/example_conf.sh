# shellcheck shell=bash
# Sourced by the packaging scenarios: reads blocks of the shipped example
# configuration (packaging/quibd.conf, or the installed copy).

# example_log_block FILE WORD: the commented-out block of consecutive
# "#log4cpp." lines of FILE that mentions WORD, uncommented.
example_log_block() {
    awk -v w="$2" '
        /^#log4cpp\./ { block = block substr($0, 2) "\n"; if (index($0, w)) hit = 1; next }
        { if (hit) { printf "%s", block; done = 1; exit } block = ""; hit = 0 }
        END { if (hit && !done) printf "%s", block }' "$1"
}
