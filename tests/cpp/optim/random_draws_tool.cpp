// Reads draw requests from stdin, one per line, and prints one answer line
// each, so a script can compare the generator with an independent model:
//   seed S          restart from seed S; prints the expanded key as 8 hex words
//   u32 | u64       one draw, decimal
//   unit            a [0, 1) float, as its bit pattern in hex
//   uniform L H     a float in [L, H) (L, H given as bit patterns in hex)
//   bernoulli P     0 or 1 (P as a bit pattern in hex)
//   int L H         an integer in [L, H], decimal
//   sample N K      K distinct indices below N, or "error <message>"
#include <bit>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "optim/random_source.hpp"
#include "support/internal_fault.hpp"

using morvane::optim::RandomSource;

namespace {

double from_bits(const std::string& hex) {
    return std::bit_cast<double>(std::stoull(hex, nullptr, 16));
}

std::string bits_of(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

}  // namespace

int main() {
    RandomSource random = RandomSource::from_seed(0);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string op;
        in >> op;
        if (op == "seed") {
            std::uint64_t seed = 0;
            in >> seed;
            random = RandomSource::from_seed(seed);
            std::cout << "key";
            for (std::uint32_t word : morvane::optim::expand_seed(seed)) {
                char text[16];
                std::snprintf(text, sizeof text, " %08x", word);
                std::cout << text;
            }
            std::cout << '\n';
        } else if (op == "u32") {
            std::cout << random.next_u32() << '\n';
        } else if (op == "u64") {
            std::cout << random.next_u64() << '\n';
        } else if (op == "unit") {
            std::cout << bits_of(random.unit_float()) << '\n';
        } else if (op == "uniform") {
            std::string low, high;
            in >> low >> high;
            std::cout << bits_of(random.uniform_float(from_bits(low), from_bits(high))) << '\n';
        } else if (op == "bernoulli") {
            std::string p;
            in >> p;
            std::cout << (random.bernoulli(from_bits(p)) ? 1 : 0) << '\n';
        } else if (op == "int") {
            std::uint32_t low = 0, high = 0;
            in >> low >> high;
            std::cout << random.uniform_u32(low, high) << '\n';
        } else if (op == "sample") {
            std::uint32_t n = 0, k = 0;
            in >> n >> k;
            try {
                const std::vector<std::uint32_t> picked = random.sample_distinct(n, k);
                std::cout << "sample";
                for (std::size_t i = 0; i < picked.size(); ++i) {
                    std::cout << ' ' << picked[i];
                }
                std::cout << '\n';
            } catch (const morvane::InternalFault& fault) {
                std::cout << "error " << fault.what() << '\n';
            }
        } else {
            std::cerr << "unknown request: " << line << '\n';
            return 2;
        }
    }
    return 0;
}
