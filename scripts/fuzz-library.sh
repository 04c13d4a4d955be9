#!/usr/bin/env bash
# libmediainfo and ZenLib from Debian's source packages, built with libFuzzer's coverage and
# AddressSanitizer, under the probe helper's fuzz target: everything in build-fuzz-library/.
#   fuzz-library.sh [build|run|coverage|all]   (FUZZ_SECONDS, JOBS from the environment)
# The instrumented library stays in its own folder: the tests and the program keep the system's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-fuzz-library
seconds=${FUZZ_SECONDS:-3600}
jobs=${JOBS:-2}
step=${1:-all}
mkdir -p "$out/src"

# Only the deb-src of the mirror apt already uses is added; the rest of apt's set-up stays.
sources() {
    if ! apt-get source --print-uris libmediainfo >/dev/null 2>&1; then
        [ "$(id -u)" -eq 0 ] || { echo "fuzz-library.sh: no deb-src in apt's sources; as root this script adds it" >&2; exit 1; }
        local mirror suite
        mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' | grep -m1 /debian/)
        suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
        printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "${mirror%/}" "$suite" > /etc/apt/sources.list.d/kelvane-fuzz-library.sources
        apt-get update -qq
    fi
    cd "$out/src"
    for package in libmediainfo libzen; do
        ls -d "$package"-*/ >/dev/null 2>&1 && continue
        # A mirror may lack a package's small Debian part while holding the upstream tarball,
        # which is then all there is to build from.
        if ! apt-get source -q "$package"; then
            local orig
            orig=$(ls "$package"_*.orig.tar.* 2>/dev/null | head -n1) || true
            [ -n "$orig" ] || { echo "fuzz-library.sh: $package's source not fetched" >&2; exit 1; }
            local dir=${orig%.orig.tar.*}
            dir=${dir/_/-}
            echo "fuzz-library.sh: $package built from $orig without Debian's patches" >&2
            mkdir -p "$dir" && tar xf "$orig" -C "$dir" --strip-components=1
        fi
    done
    # The library's CMake project finds a bundled ZenLib beside itself under this name.
    ln -sfn "$(ls -d libzen-*/ | head -n1)" ZenLib
}

# Coverage mapping besides libFuzzer's counters: the library's line and branch coverage comes
# from the run itself.
library() {
    local flags="-O1 -gline-tables-only -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address"
    flags+=" -fprofile-instr-generate -fcoverage-mapping"
    # No libcurl: a fuzzed playlist must not reach the network from this machine.
    cmake -S "$(ls -d "$out"/src/libmediainfo-*/ | head -n1)Project/CMake" -B "$out/library" -G Ninja \
        -DCMAKE_BUILD_TYPE=None -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address -fprofile-instr-generate" \
        -DBUILD_SHARED_LIBS=ON -DBUILD_ZENLIB=ON -DCMAKE_DISABLE_FIND_PACKAGE_CURL=ON >/dev/null
    nice -n 19 cmake --build "$out/library" -j "$jobs"
}

harness() {
    cmake -S "$root" -B "$out/kelvane" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKELVANE_FUZZ=ON -DBUILD_TESTING=OFF \
        -DKELVANE_FUZZ_MEDIAINFO="$out/library/libmediainfo.so" \
        -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
    nice -n 19 cmake --build "$out/kelvane" -j "$jobs" --target fuzz_helper
}

# One fuzzing process (-fork=1) at the lowest priority; the library's crashes, hangs and
# runaway allocations are saved as findings/* without ending the run. Every job that ends
# normally merges its line counts into profile/ (one file per library, %m), so the coverage
# needs no second pass over the corpus.
run() {
    mkdir -p "$out/corpus" "$out/findings" "$out/profile"
    "$root/fuzz/make_seeds.sh" "$out/seeds"
    LLVM_PROFILE_FILE="$out/profile/run-%4m.profraw" nice -n 19 "$out/kelvane/fuzz/fuzz_helper" \
        -max_total_time="$seconds" -print_final_stats=1 -fork=1 -ignore_crashes=1 \
        -ignore_timeouts=1 -ignore_ooms=1 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/findings/" "$out/corpus" "$out/seeds" 2>&1 | tee "$out/run.log"
}

# The library's own files only (not its bundled third-party code).
coverage() {
    llvm-profdata merge -sparse "$out"/profile/*.profraw -o "$out/run.profdata"
    llvm-cov report "$out/library/libmediainfo.so" -object "$out/library/ZenLib/libzen.so" \
        -instr-profile="$out/run.profdata" -ignore-filename-regex='ThirdParty|^/usr/' \
        | tee "$out/coverage.txt" | tail -n 1
}

case "$step" in
    build) sources; library; harness ;;
    library) sources; library ;;
    run) run ;;
    coverage) coverage ;;
    all) sources; library; harness; run; coverage ;;
    *) echo "fuzz-library.sh: unknown step $step" >&2; exit 2 ;;
esac
