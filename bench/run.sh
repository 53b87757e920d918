#!/usr/bin/env bash
# Times Dravelon against find and bfs on three generated trees and measures its
# peak memory. Run by hand on a quiet machine; CI never runs it.
#
#   bench/run.sh [options] [DIR]
#
# DIR holds the trees A, B and C (made on first use, reused afterwards). Without
# DIR a temporary folder under /tmp is used and removed at the end.
#
# Options:
#   --runs N          timed runs per command (default 10, at least 5)
#   --reference REV   build Dravelon at git revision REV as well and require the
#                     report of every tree to be byte-identical to that build's
#   --trees LIST      trees to measure, e.g. AB (default ABC)
#   --clean           remove the trees from DIR at the end
#   --floor           also time bench/floor.cpp: a bare walk with the standard
#                     directory iterator, without and with a copy of each
#                     file's path kept (what the library costs by itself);
#                     and Dravelon itself with glibc's malloc asked for 2 MiB
#                     pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1), which
#                     shows what the page faults of its memory cost
#
# Reports are kept in DIR/reports; the first report of each tree is kept as
# DIR/reports/T.first, and every later run is compared with it as well.
set -euo pipefail

runs=10
reference=""
trees=ABC
clean=0
floor=0
dir=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --reference) reference="$2"; shift 2 ;;
        --trees) trees="$2"; shift 2 ;;
        --clean) clean=1; shift ;;
        --floor) floor=1; shift ;;
        -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
        *) dir="$1"; shift ;;
    esac
done
if (( runs < 5 )); then echo "run.sh: --runs must be at least 5" >&2; exit 2; fi

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="$source_dir/build/bench"

# --- Tools -------------------------------------------------------------------
missing=()
for package in cmake g++ hyperfine bfs time findutils; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if (( ${#missing[@]} )); then
    echo "Installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- Builds ------------------------------------------------------------------
# A Release build of its own, so the benchmark needs no test framework and
# leaves the developer's build folders alone.
build_dravelon() {  # source folder, build folder
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$2" -j2 --target dravelon >/dev/null
}
mkdir -p "$build"
echo "Building the Release program"
build_dravelon "$source_dir" "$build/release"
dravelon="$build/release/dravelon"
g++ -O2 -std=c++17 -Wall -Wextra -Wpedantic "$source_dir/bench/gen_tree.cpp" -o "$build/gen_tree"
g++ -O2 -std=c++17 -Wall -Wextra -Wpedantic "$source_dir/bench/floor.cpp" -o "$build/floor"

reference_bin=""
if [[ -n "$reference" ]]; then
    rev="$(git -C "$source_dir" rev-parse --short "$reference^{commit}")"
    ref_src="$build/reference-$rev"
    if [[ ! -x "$ref_src/build/dravelon" ]]; then
        echo "Building the reference program at $rev"
        rm -rf "$ref_src" && mkdir -p "$ref_src"
        git -C "$source_dir" archive "$rev" CMakeLists.txt src | tar -x -C "$ref_src"
        # The reference needs no tests; an empty folder satisfies its CMake file.
        mkdir -p "$ref_src/tests" && : >"$ref_src/tests/CMakeLists.txt"
        build_dravelon "$ref_src" "$ref_src/build"
    fi
    reference_bin="$ref_src/build/dravelon"
fi

# --- Trees -------------------------------------------------------------------
temporary=0
if [[ -z "$dir" ]]; then
    # A short name: a path component of 16 characters or more costs every
    # result path below it an allocation of its own (see the README's Performance section).
    dir="$(mktemp -d /tmp/dvb.XXXXXX)"
    temporary=1
fi
mkdir -p "$dir/reports"
dir="$(cd "$dir" && pwd)"
# The three trees take about 1.3 million inodes and 250 MB.
df -h "$dir" && df -i "$dir"
free_inodes="$(df --output=iavail "$dir" | tail -1)"
if [[ ! -f "$dir/.A.done" ]] && (( free_inodes < 1400000 )); then
    echo "run.sh: $dir has $free_inodes free inodes; the trees need about 1,300,000" >&2
    exit 1
fi
cleanup() {
    if (( temporary )); then
        echo "Removing $dir"; rm -rf "$dir"
    elif (( clean )); then
        echo "Removing the trees in $dir"; rm -rf "$dir/A" "$dir/B" "$dir/C" "$dir"/.*.done
    fi
}
trap cleanup EXIT

for tree in $(echo "$trees" | grep -o .); do
    # The stamp lies beside the tree, not in it, so that no walk counts it.
    if [[ ! -f "$dir/.$tree.done" ]]; then
        rm -rf "${dir:?}/$tree"
        echo "Generating tree $tree"
        "$build/gen_tree" "$tree" "$dir/$tree" | tee "$dir/.$tree.done.tmp"
        mv "$dir/.$tree.done.tmp" "$dir/.$tree.done"
    fi
done

# --- Measurements ------------------------------------------------------------
# hyperfine runs the commands without a shell (-N) and splits them into words
# itself, so the quotes below reach no shell.
expr="-type f ( -iname '*.scr' -o -iname '*.pif' )"
declare -A target_find=([A]=1.0 [B]=0.7 [C]=6) target_bfs=([A]=1.3 [B]=1.2) target_bytes=([A]=850 [B]=450)
rows=()
floor_rows=()
status=0
for tree in $(echo "$trees" | grep -o .); do
    t="$dir/$tree"
    report="$dir/reports/$tree.txt"

    # Peak memory, and the report for the comparisons.
    /usr/bin/time -v "$dravelon" "$t" >"$report" 2>"$dir/reports/$tree.time"
    rss_kb="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/reports/$tree.time")"
    analysed="$(awk -F': ' '/^Dosyalar analiz edildi: / {print $2}' "$report")"
    bytes_per_file="$(awk -v k="$rss_kb" -v n="$analysed" 'BEGIN {printf "%.0f", n ? k * 1024 / n : 0}')"

    [[ -f "$dir/reports/$tree.first" ]] || cp "$report" "$dir/reports/$tree.first"
    if ! cmp -s "$report" "$dir/reports/$tree.first"; then
        echo "Tree $tree: the report differs from $dir/reports/$tree.first" >&2; status=1
    fi
    if [[ -n "$reference_bin" ]]; then
        "$reference_bin" "$t" >"$dir/reports/$tree.reference"
        if cmp -s "$report" "$dir/reports/$tree.reference"; then
            echo "Tree $tree: report identical to the reference build's ($(wc -c <"$report") bytes)"
        else
            echo "Tree $tree: the report differs from the reference build's" >&2; status=1
        fi
    fi

    echo "Timing tree $tree ($analysed files analysed)"
    q="'$t'"
    floor_commands=()
    if (( floor )); then
        floor_commands=(-n std-list "$build/floor list $q" -n std-keep "$build/floor keep $q"
                        -n dravelon-2m "env GLIBC_TUNABLES=glibc.malloc.hugetlb=1 $dravelon $q")
    fi
    hyperfine -N --warmup 1 --runs "$runs" --style basic --export-csv "$dir/reports/$tree.csv" \
        -n dravelon "$dravelon $q" \
        -n find "find $q $expr" \
        -n bfs "bfs $q $expr" \
        "${floor_commands[@]}" >"$dir/reports/$tree.hyperfine"
    median() { awk -F, -v name="$1" '$1 == name {print $4}' "$dir/reports/$tree.csv"; }
    d="$(median dravelon)"; f="$(median find)"; b="$(median bfs)"
    faults="$(awk -F': ' '/Minor .* page faults/ {print $2}' "$dir/reports/$tree.time")"
    if (( floor )); then
        floor_rows+=("$(awk -v tree="$tree" -v d="$d" -v f="$f" -v l="$(median std-list)" -v k="$(median std-keep)" \
            -v h="$(median dravelon-2m)" '
            BEGIN { printf "| %s | %.3f | %.2f | %.3f | %.2f | %.2f | %.3f | %.2f |\n", tree, l, l / f, k, k / f, d / f, h, h / f }')")
    fi
    rows+=("$(awk -v tree="$tree" -v d="$d" -v f="$f" -v b="$b" -v rss="$rss_kb" -v bpf="$bytes_per_file" -v faults="$faults" \
        -v tf="${target_find[$tree]:-}" -v tb="${target_bfs[$tree]:-}" -v tm="${target_bytes[$tree]:-}" '
        function mark(value, limit) { return limit == "" ? "" : (value <= limit ? " ok" : " OVER") }
        BEGIN {
            printf "| %s | %.3f | %.3f | %.3f | %.2f%s | %.2f%s | %.1f | %s%s | %s |\n", tree, d, f, b,
                d / f, mark(d / f, tf), d / b, mark(d / b, tb), rss / 1024, bpf, mark(bpf, tm), faults
        }')")
done

echo
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB memory, kernel $(uname -r)," \
    "trees on $(findmnt -n -o FSTYPE -T "$dir"); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Medians of $runs runs after 1 warm-up (hyperfine), warm cache; peak RSS from GNU time."
echo "Targets: A <= 1.0x find, <= 1.3x bfs, <= 850 B/file; B <= 0.7x find, <= 1.2x bfs, <= 450 B/file; C <= 6x find."
echo
echo "| tree | dravelon (s) | find (s) | bfs (s) | dravelon/find | dravelon/bfs | peak RSS (MiB) | bytes per analysed file | page faults |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if (( floor )); then
    echo
    echo "The standard directory iterator alone (bench/floor.cpp), and Dravelon with 2 MiB pages"
    echo "(transparent huge pages: $(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)), medians of the same run:"
    echo
    echo "| tree | list only (s) | list/find | list and keep paths (s) | keep/find | dravelon/find | dravelon, 2 MiB pages (s) | that/find |"
    echo "|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${floor_rows[@]}"
fi
exit "$status"
