#!/bin/sh
# The program's code in pieces a reader takes in at once: no file over 400
# lines, no function over 60 (from its first line to its closing brace).
# Prints what is over and fails; prints the longest of each and passes.
cd "$(dirname "$0")/.." || exit 1
files=$(find app capture common output pipeline take -name '*.cpp' -o -name '*.h' | sort)
# shellcheck disable=SC2086
awk -v most_lines=400 -v most_function=60 '
    FNR == 1 { if (prev_file != "") check_file(); prev_file = FILENAME; start = 0 }
    /^\{$/ { start = FNR - 1 }
    /^\}/ && start > 0 {
        n = FNR - start + 1
        if (n > longest_function) { longest_function = n; longest_at = FILENAME ":" start }
        if (n > most_function) { print FILENAME ":" start ": a function of " n " lines"; over = 1 }
        start = 0
    }
    { lines = FNR }
    function check_file() {
        if (lines > longest_file) { longest_file = lines; longest_name = prev_file }
        if (lines > most_lines) { print prev_file ": " lines " lines"; over = 1 }
    }
    END {
        check_file()
        print "longest file: " longest_name ", " longest_file " lines; longest function: " longest_at ", " longest_function " lines"
        exit over
    }' $files
