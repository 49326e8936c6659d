// What the fuzz targets share: a reader that turns the fuzzer's bytes into values, the
// check that stops a run on a wrong answer, and a main that replays saved inputs when a
// target is built without libFuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

// A wrong answer is a finding just as a crash is: report it and abort.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Takes values off the front of the input; past its end every value reads as zero.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

    template <class T>
    T take() {
        T v{};
        const std::size_t k = n_ < sizeof v ? n_ : sizeof v;
        if (k != 0) std::memcpy(&v, p_, k);
        p_ += k;
        n_ -= k;
        return v;
    }
    bool flag() { return (take<std::uint8_t>() & 1) != 0; }

    // Up to max bytes (fewer when the input runs out).
    std::span<const std::uint8_t> bytes(std::size_t max) {
        const std::size_t k = n_ < max ? n_ : max;
        std::span<const std::uint8_t> s(p_, k);
        p_ += k;
        n_ -= k;
        return s;
    }
    std::span<const std::uint8_t> rest() { return bytes(n_); }
    std::size_t left() const { return n_; }

  private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// A width that the mutator can steer both ways: most inputs give a small width near the
// interesting range (0 to 130), the others any 64-bit value.
inline std::size_t width(Input& in) {
    const std::uint8_t sel = in.take<std::uint8_t>();
    const std::uint64_t any = in.take<std::uint64_t>();
    if ((sel & 0xC0) == 0xC0) return std::size_t(any);
    return sel % 131;
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#ifdef FUZZ_REPLAY_MAIN
// Without libFuzzer: run every file named on the command line, or every file in a named
// directory, through the target once.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fuzz {
inline int replay_file(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end is caught.
    auto* copy = static_cast<std::uint8_t*>(std::malloc(bytes.size() + 1));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    std::free(copy);
    return 0;
}
}  // namespace fuzz

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::size_t count = 0;
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& e : fs::recursive_directory_iterator(arg))
                if (e.is_regular_file()) rc |= fuzz::replay_file(e.path()), ++count;
        } else {
            rc |= fuzz::replay_file(arg), ++count;
        }
    }
    std::fprintf(stderr, "%s: replayed %zu inputs\n", argv[0], count);
    return rc;
}
#endif
