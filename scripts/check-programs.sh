#!/usr/bin/env bash
# Checks, before anything is built, that the test command can run to its end:
#  - every program in scripts/programs.list (but the optional ones) can be found; each missing one is named with its
#    package and the check stops;
#  - every script in scripts/, bench/ and .ci/ that starts with #! may be run: its run bit is set, in git too;
#  - every program that a test, benchmark or script starts is in scripts/programs.list.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/scripts/programs.list"

missing=()
while IFS= read -r line; do
    line=${line%%#*}
    [[ $line == *:* && $line != *"(optional)"* ]] || continue
    package=$(echo "${line%%:*}" | tr -d '[:space:]')
    for program in ${line#*:}; do
        command -v "$program" >/dev/null || missing+=("$program (package $package)")
    done
done <"$list"
if ((${#missing[@]})); then
    echo "Missing programs that the tests, benchmarks or scripts start:" >&2
    printf '  %s\n' "${missing[@]}" >&2
    echo "Install them with scripts/install-deps.sh (as root)." >&2
    exit 1
fi

not_runnable=()
in_git=0
git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1 && in_git=1
for script in "$root"/scripts/* "$root"/bench/* "$root"/.ci/*; do
    [[ -f $script && $(head -c 2 "$script") == '#!' ]] || continue
    name=${script#"$root"/}
    if [[ ! -x $script ]]; then
        not_runnable+=("$name")
    elif ((in_git)) && [[ -n $(git -C "$root" ls-files "$name") ]] &&
        [[ $(git -C "$root" ls-files -s "$name" | cut -c1-6) != 100755 ]]; then
        not_runnable+=("$name (in git)")
    fi
done
if ((${#not_runnable[@]})); then
    echo "Scripts without their run bit (chmod +x FILE; git update-index --chmod=+x FILE):" >&2
    printf '  %s\n' "${not_runnable[@]}" >&2
    exit 1
fi

# The reading of sources is heuristic: its own test comes first.
if ! selftest=$(cd "$root/scripts" && python3 -m unittest -q test_started_programs 2>&1); then
    echo "$selftest" >&2
    exit 1
fi
python3 "$root/scripts/started_programs.py" "$root"
