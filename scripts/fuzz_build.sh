# Sourced by test.sh and fuzz.sh: builds every libFuzzer target with clang into build-fuzz/ and sets
# FUZZ_TARGETS to their names.
build_fuzzers() {
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF >/dev/null
  FUZZ_TARGETS=$(ninja -C build-fuzz -t targets all | grep -o '^fuzz_[a-z_]*' | grep -v autogen | sort -u)
  # shellcheck disable=SC2086
  ninja -C build-fuzz -j "$(nproc)" $FUZZ_TARGETS >/dev/null
}
