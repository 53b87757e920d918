#!/usr/bin/env bash
# Times Dravelon against a bare walk of the same kind (bench/floor.cpp: openat,
# readdir, d_type), find and bfs on generated trees, measures its peak memory,
# and checks that a run with 16 descriptors gives the same report and that no
# file system's type is asked (fstatfs); on the deep chain E also under limits
# of 1,024 and 64 descriptors against bfs -L. Run by hand on a quiet machine;
# CI never runs it. See bench/README.md.
#
#   bench/run.sh [options] [DIR]
#
# DIR holds the trees A to F (made on first use, reused afterwards). Without DIR
# a temporary folder under /tmp is used and removed at the end.
#
# Options:
#   --runs N          timed runs per command (default 10, at least 5)
#   --reference REV   build Dravelon at git revision REV as well, time it and
#                     measure its peak memory beside the program's, and require
#                     the report of every tree to be byte-identical to that
#                     build's (of D only shown: earlier builds stopped at the
#                     path limit)
#   --trees LIST      trees to measure, e.g. AB (default ABCDEF); "-" for none
#   --clean           remove the trees from DIR at the end
#   --windows         also time dravelon.exe under Wine against two bare walks
#                     that only count files: bench/floor_windows_handles.cpp,
#                     of the same kind (each folder opened in its parent's
#                     handle), and bench/floor_windows.cpp (the system's
#                     directory search on whole long-form paths), on the
#                     largest top-level folder of tree A and on the chain C
#                     (both made if missing)
#
# Reports are kept in DIR/reports (of E and F, whose reports run to 580 and 145
# MB, only their first lines, size and SHA-256 digest); the first report of each
# tree is kept as DIR/reports/T.first, and every later run is compared with it.
set -euo pipefail

runs=10
reference=""
trees=ABCDEF
clean=0
windows=0
dir=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --reference) reference="$2"; shift 2 ;;
        --trees) trees="${2//-/}"; shift 2 ;;
        --clean) clean=1; shift ;;
        --windows) windows=1; shift ;;
        -h|--help) sed -n '2,33p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
        *) dir="$1"; shift ;;
    esac
done
if (( runs < 5 )); then echo "run.sh: --runs must be at least 5" >&2; exit 2; fi

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="$source_dir/build/bench"

# --- Tools -------------------------------------------------------------------
packages=(cmake g++ hyperfine bfs time findutils util-linux strace)
(( windows )) && packages+=(g++-mingw-w64-x86-64-posix wine wine64)
"$source_dir/scripts/install-deps" "${packages[@]}"

# --- Builds ------------------------------------------------------------------
# Release builds of their own, so the benchmark needs no test framework and
# leaves the developer's build folders alone.
build_dravelon() {  # source folder, build folder, cmake options...
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${@:3}" >/dev/null
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
        git -C "$source_dir" archive "$rev" | tar -x -C "$ref_src"
        build_dravelon "$ref_src" "$ref_src/build"
    fi
    reference_bin="$ref_src/build/dravelon"
fi

# --- Trees -------------------------------------------------------------------
temporary=0
if [[ -z "$dir" ]]; then
    dir="$(mktemp -d /tmp/dvb.XXXXXX)"
    temporary=1
fi
mkdir -p "$dir/reports"
dir="$(cd "$dir" && pwd)"
# The six trees take about 1.35 million inodes and 300 MB.
df -h "$dir" && df -i "$dir"
free_inodes="$(df --output=iavail "$dir" | tail -1)"
if [[ ! -f "$dir/.A.done" ]] && (( free_inodes < 1400000 )); then
    echo "run.sh: $dir has $free_inodes free inodes; the trees need about 1,300,000" >&2
    exit 1
fi
wine_prefix="$build/wine"
cleanup() {
    (( windows )) && "$source_dir/cmake/wine-run" "$wine_prefix" stop
    if (( temporary )); then
        echo "Removing $dir"; rm -rf "$dir"
    elif (( clean )); then
        echo "Removing the trees in $dir"; rm -rf "$dir"/[A-F] "$dir"/.*.done
    fi
}
trap cleanup EXIT

needed="$trees"
(( windows )) && [[ "$needed" != *A* ]] && needed+=A
(( windows )) && [[ "$needed" != *C* ]] && needed+=C
for tree in $(echo "$needed" | grep -o .); do
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
declare -A target_floor=([A]=1.15 [B]=1.3 [C]=1.3 [D]=1.3) target_find=([A]=0.6 [B]=0.35 [C]=0.7 [D]=0.7) \
    target_bfs=([A]=0.85 [B]=0.7 [C]=2.0 [D]=2.0) target_rss=([A]=12 [B]=12 [C]=16 [D]=16 [E]=16 [F]=16)
# E under a limit of descriptors: the limit, then the targets against the bare
# walk and against bfs -L under the same limit.
deep_limits=("1024 1.3 1.2" "64 1.5 1.5")
rows=()
deep_rows=()
reference_rows=()
status=0
# Writes the report of `command...` on tree $tree to the file $1; of E and F
# only the first 20 lines, the size and the SHA-256 digest are kept.
keep_report() {
    "${@:2}" >"$1"
    if [[ $tree == [EF] ]]; then
        { sed -n '1,20p' "$1"; wc -c <"$1"; sha256sum <"$1"; } >"$1.digest" && mv "$1.digest" "$1"
    fi
}
for tree in $(echo "$trees" | grep -o .); do
    t="$dir/$tree"
    report="$dir/reports/$tree.txt"

    # Peak memory, and the report for the comparisons.
    keep_report "$report" /usr/bin/time -v -o "$dir/reports/$tree.time" "$dravelon" "$t"
    rss_kb="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/reports/$tree.time")"
    analysed="$(awk -F': ' '/^Dosyalar analiz edildi: / {print $2}' "$report")"

    [[ -f "$dir/reports/$tree.first" ]] || cp "$report" "$dir/reports/$tree.first"
    if ! cmp -s "$report" "$dir/reports/$tree.first"; then
        echo "Tree $tree: the report differs from $dir/reports/$tree.first" >&2; status=1
    fi
    # A handful of descriptors must give the same report.
    keep_report "$dir/reports/$tree.few" prlimit --nofile=16:16 "$dravelon" "$t"
    if cmp -s "$report" "$dir/reports/$tree.few"; then
        echo "Tree $tree: report identical with 16 descriptors"
    else
        echo "Tree $tree: the report with 16 descriptors differs" >&2; status=1
    fi
    # The tree lies on one file system: the walk asks no file system's type.
    strace -f -c -e trace=fstatfs -o "$dir/reports/$tree.fstatfs" "$dravelon" "$t" >/dev/null
    if grep -q fstatfs "$dir/reports/$tree.fstatfs"; then
        echo "Tree $tree: the walk asked for a file system's type (fstatfs)" >&2; status=1
    else
        echo "Tree $tree: no fstatfs call"
    fi
    timed=(-n dravelon "$dravelon '$t'")
    if [[ -n "$reference_bin" ]]; then
        timed+=(-n reference "$reference_bin '$t'")
        keep_report "$dir/reports/$tree.reference" /usr/bin/time -v -o "$dir/reports/$tree.reference.time" \
            "$reference_bin" "$t"
        if cmp -s "$report" "$dir/reports/$tree.reference"; then
            echo "Tree $tree: report identical to the reference build's"
        elif [[ $tree == D ]]; then
            # Builds that opened folders by their whole path stopped at 4,096 bytes.
            echo "Tree $tree: the report differs from the reference build's (whose walk may stop at the path limit)"
        else
            echo "Tree $tree: the report differs from the reference build's" >&2; status=1
        fi
    fi

    echo "Timing tree $tree ($analysed files analysed)"
    q="'$t'"
    hyperfine -N --warmup 1 --runs "$runs" --style basic --export-csv "$dir/reports/$tree.csv" \
        "${timed[@]}" \
        -n floor "$build/floor $q" \
        -n find "find $q $expr" \
        -n bfs "bfs $q $expr" >"$dir/reports/$tree.hyperfine"
    median() { awk -F, -v name="$1" '$1 == name {print $4}' "$dir/reports/$tree.csv"; }
    rows+=("$(awk -v tree="$tree" -v d="$(median dravelon)" -v l="$(median floor)" -v f="$(median find)" \
        -v b="$(median bfs)" -v rss="$rss_kb" -v tl="${target_floor[$tree]:-}" -v tf="${target_find[$tree]:-}" \
        -v tb="${target_bfs[$tree]:-}" -v tm="${target_rss[$tree]:-}" '
        function mark(value, limit) { return limit == "" ? "" : (value <= limit ? " ok" : " OVER") }
        BEGIN {
            printf "| %s | %.3f | %.3f | %.3f | %.3f | %.2f%s | %.2f%s | %.2f%s | %.1f%s |\n", tree, d, l, f, b,
                d / l, mark(d / l, tl), d / f, mark(d / f, tf), d / b, mark(d / b, tb), rss / 1024, mark(rss / 1024, tm)
        }')")
    if [[ -n "$reference_bin" ]]; then
        reference_rss="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/reports/$tree.reference.time")"
        reference_rows+=("$(awk -v tree="$tree" -v d="$(median dravelon)" -v r="$(median reference)" \
            -v rss="$rss_kb" -v rr="$reference_rss" 'BEGIN {
                printf "| %s | %.3f | %.3f | %.2f | %.1f | %.1f |\n", tree, d, r, d / r, rss / 1024, rr / 1024
            }')")
    fi

    [[ $tree == E ]] || continue
    # The bare walk holds a descriptor for every level, so it runs only under
    # the machine's own limit; the program and bfs -L run under lower ones.
    floor_e="$(median floor)"
    found="$(awk -F': *' '/^Dosyalar bulundu:/ {print $2}' "$report")"
    if [[ "$("$build/floor" "$t")" != "$found" ]]; then
        echo "Tree E: the bare walk missed files under a limit of $(ulimit -n) descriptors;" \
            "it needs one for each of the 10,000 levels" >&2
    fi
    echo "Timing tree E under limits of descriptors"
    commands=()
    for row in "${deep_limits[@]}"; do
        read -r limit _ _ <<<"$row"
        commands+=(-n "dravelon $limit" "prlimit --nofile=$limit:$limit $dravelon $q"
            -n "bfs -L $limit" "prlimit --nofile=$limit:$limit bfs -L $q $expr")
    done
    hyperfine -N --warmup 1 --runs "$runs" --style basic --export-csv "$dir/reports/E-limits.csv" "${commands[@]}" \
        >"$dir/reports/E-limits.hyperfine"
    for row in "${deep_limits[@]}"; do
        read -r limit tl tb <<<"$row"
        median() { awk -F, -v name="$1" '$1 == name {print $4}' "$dir/reports/E-limits.csv"; }
        deep_rows+=("$(awk -v limit="$limit" -v d="$(median "dravelon $limit")" -v l="$floor_e" \
            -v b="$(median "bfs -L $limit")" -v tl="$tl" -v tb="$tb" '
            function mark(value, limit) { return value <= limit ? " ok" : " OVER" }
            BEGIN {
                printf "| %s | %.3f | %.3f | %.3f | %.2f%s | %.2f%s |\n", limit, d, l, b, d / l, mark(d / l, tl), d / b,
                    mark(d / b, tb)
            }')")
    done
done

windows_rows=()
if (( windows )); then
    echo "Building dravelon.exe, floor_windows.exe and floor_windows_handles.exe"
    build_dravelon "$source_dir" "$build/windows" --toolchain "$source_dir/cmake/mingw-w64.cmake"
    for floor in floor_windows floor_windows_handles; do
        x86_64-w64-mingw32-g++-posix -O2 -std=c++17 -Wall -Wextra -Wpedantic -municode -static \
            "$source_dir/bench/$floor.cpp" -o "$build/$floor.exe" -lntdll
    done
    # The largest top-level folder of tree A, and the chain C, as Wine names
    # them on drive Z:.
    largest="$(find "$dir/A" -mindepth 1 -maxdepth 1 -type d -print0 |
        while IFS= read -r -d '' d; do printf '%s\t%s\n' "$(find "$d" -type f | wc -l)" "$d"; done | sort -n | tail -1)"
    files="${largest%%$'\t'*}"
    folder="Z:${largest#*$'\t'}"
    folder="${folder//\//\\}"
    chain="Z:${dir//\//\\}\\C"
    wine_run="$source_dir/cmake/wine-run $wine_prefix"
    "$source_dir/cmake/wine-run" "$wine_prefix" start
    # Times the three on the Windows folder $2 (name $1, $3 files), $4 runs
    # after $5 warm-up runs; the subtree's ratio is held to its target. Under
    # Wine a run's time drifts by a quarter from one minute to the next, so
    # the three take turns, one run each in a round, each round in another
    # order, rather than one after the other's whole series; the times of
    # every run are kept in DIR/reports/windows-NAME.times.
    time_windows() {
        echo "Timing dravelon.exe under Wine on $2 ($3 files)"
        local programs=(dravelon.exe floor_windows_handles.exe floor_windows.exe) times="$dir/reports/windows-$1.times"
        local paths=("$build/windows/dravelon.exe" "$build/floor_windows_handles.exe" "$build/floor_windows.exe")
        : >"$times"
        for (( round = 0; round < $4 + $5; round++ )); do
            for (( turn = 0; turn < 3; turn++ )); do
                local k=$(( (round + turn) % 3 )) started ended
                started="$(date +%s%N)"
                $wine_run "${paths[$k]}" "$2" >/dev/null
                ended="$(date +%s%N)"
                (( round < $5 )) || echo "${programs[$k]} $(( ended - started ))" >>"$times"
            done
        done
        median() {
            awk -v name="$1" '$1 == name {print $2 / 1e9}' "$dir/reports/windows-$2.times" | sort -g |
                awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
        }
        windows_rows+=("$(awk -v what="$1" -v files="$3" -v d="$(median dravelon.exe "$1")" \
            -v h="$(median floor_windows_handles.exe "$1")" -v p="$(median floor_windows.exe "$1")" '
            BEGIN {
                fastest = h < p ? h : p
                mark = what == "subtree" ? (d / fastest <= 1.1 ? " ok" : " OVER") : ""
                printf "| %s | %d | %.3f | %.3f | %.3f | %.2f%s |\n", what, files, d, h, p, d / fastest, mark
            }')")
    }
    time_windows subtree "$folder" "$files" "$runs" 1
    # Wine takes minutes over the chain whatever the walk (its server reads
    # every name of a folder's path again at every open): three runs.
    time_windows chain "$chain" 1500 3 0
fi

echo
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB memory, kernel $(uname -r)," \
    "trees on $(findmnt -n -o FSTYPE -T "$dir"); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Medians of $runs runs after 1 warm-up (hyperfine), warm cache; peak RSS from GNU time."
if (( ${#rows[@]} )); then
    echo "Targets: A <= 1.15x floor, <= 0.6x find, <= 0.85x bfs, <= 12 MiB;" \
        "B <= 1.3x floor, <= 0.35x find, <= 0.7x bfs, <= 12 MiB;" \
        "C and D <= 1.3x floor, <= 0.7x find, <= 2x bfs, <= 16 MiB."
    echo
    echo "| tree | dravelon (s) | floor (s) | find (s) | bfs (s) | dravelon/floor | dravelon/find | dravelon/bfs | peak RSS (MiB) |"
    echo "|---|---|---|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
fi
if (( ${#reference_rows[@]} )); then
    echo
    echo "Against the reference build ($rev), in the same runs:"
    echo
    echo "| tree | dravelon (s) | reference (s) | dravelon/reference | peak RSS (MiB) | reference peak RSS (MiB) |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${reference_rows[@]}"
fi
if (( ${#deep_rows[@]} )); then
    echo
    echo "Tree E under a limit of descriptors (prlimit --nofile=N:N), the bare walk under the machine's limit of" \
        "$(ulimit -n). Targets: 1,024: <= 1.3x floor, <= 1.2x bfs -L; 64: <= 1.5x floor, <= 1.5x bfs -L."
    echo
    echo "| limit | dravelon (s) | floor (s) | bfs -L (s) | dravelon/floor | dravelon/bfs -L |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${deep_rows[@]}"
fi
if (( ${#windows_rows[@]} )); then
    echo
    echo "Under Wine ($(wine --version 2>/dev/null)), on $folder (subtree) and $chain (chain);" \
        "the three taking turns, medians of $runs rounds after 1 warm-up on the subtree, of 3 on the chain;" \
        "target: dravelon.exe <= 1.1x the faster bare walk on the subtree."
    echo
    echo "| tree | files | dravelon.exe (s) | floor_windows_handles.exe (s) | floor_windows.exe (s) | dravelon.exe / faster |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${windows_rows[@]}"
fi
exit "$status"
