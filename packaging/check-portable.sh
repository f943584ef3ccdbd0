#!/usr/bin/env bash
# Fails when a C or C++ source under the given folders includes an operating-system header
# (POSIX, glibc or Windows) instead of going through standard C++ and Qt, which is what lets the
# same sources build on Linux, Windows and macOS.
#
#   check-portable.sh DIR...             check the folders; prints file:line: text per find
#   check-portable.sh --except FILE DIR...   the same, FILE left out (it must exist); repeatable
#   check-portable.sh --self-test DIR    run the check on a sample folder and compare its finds
#                                        with the lines marked "expect-flagged" there
set -euo pipefail

# Matched against the header name between <> or "" of an #include line.
platform_headers='unistd\.h|pthread\.h|fcntl\.h|poll\.h|netdb\.h|dlfcn\.h|termios\.h|dirent\.h'
platform_headers+='|sched\.h|semaphore\.h|syslog\.h|pwd\.h|grp\.h|spawn\.h|strings\.h|libgen\.h'
platform_headers+='|glob\.h|regex\.h|err\.h|getopt\.h|ifaddrs\.h|mqueue\.h|aio\.h|utime\.h'
platform_headers+='|ucontext\.h|malloc\.h|alloca\.h|endian\.h|byteswap\.h|execinfo\.h'
platform_headers+='|sys/[^>"]*|arpa/[^>"]*|netinet/[^>"]*|net/[^>"]*|linux/[^>"]*'
platform_headers+='|windows\.h|winsock2?\.h|ws2tcpip\.h|io\.h|process\.h|direct\.h'
include_line="^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($platform_headers)[>\"]"

scan() { # DIR... -> file:line: text, sorted
    grep -rnEI --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' \
        --include='*.cc' --include='*.cxx' "$include_line" "$@" | sort || true
}

if [ "${1:-}" = --self-test ]; then
    dir=${2:?--self-test needs the sample folder}
    expected=$(grep -rn 'expect-flagged' "$dir" | sort)
    found=$(scan "$dir")
    if [ -z "$expected" ]; then
        echo "self-test: no line of $dir is marked expect-flagged" >&2
        exit 1
    fi
    if [ "$found" != "$expected" ]; then
        echo "self-test: the check found other lines than the marked ones" >&2
        diff <(echo "$expected") <(echo "$found") >&2 || true
        exit 1
    fi
    echo "self-test: all $(echo "$expected" | wc -l) marked includes found, nothing else"
    exit 0
fi

excepted=()
while [ "${1:-}" = --except ]; do
    [ -f "${2:-}" ] || { echo "--except names no file: ${2:-}" >&2; exit 2; }
    excepted+=("$2")
    shift 2
done
[ $# -gt 0 ] || { echo "usage: $0 [--except FILE]... DIR... | --self-test DIR" >&2; exit 2; }
for dir in "$@"; do
    [ -d "$dir" ] || { echo "no such folder: $dir" >&2; exit 2; }
done
found=$(scan "$@")
for file in "${excepted[@]}"; do
    found=$(grep -vF "$file:" <<<"$found" || true)
done
if [ -n "$found" ]; then
    echo "$found"
    echo "These includes tie the code to one operating system; use standard C++ or Qt." >&2
    exit 1
fi
echo "no operating-system headers in: $*"
