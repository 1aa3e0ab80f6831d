#include "exec/counts_validation.hpp"

#include "support/debug_string.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::exec {

namespace {

bool is_bitstring(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key) {
        if (c != '0' && c != '1') return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> validate_counts(std::span<const observable::CountsMap> maps,
                                           std::size_t expected_count, std::uint32_t shots) {
    if (maps.size() != expected_count) {
        return concat("expected one counts map per circuit (", expected_count, "), got ",
                      maps.size());
    }
    for (std::size_t i = 0; i < maps.size(); ++i) {
        const auto& map = maps[i];
        if (map.empty()) {
            return concat("empty counts map for circuit ", i, " (", shots,
                          " shot(s) requested); an empty result has no measurement outcomes and "
                          "cannot be reduced to a fitness");
        }
        std::uint64_t sum = 0;
        for (const auto& [key, count] : map) {
            if (__builtin_add_overflow(sum, count, &sum)) {
                internal_fault(concat("counts for circuit ", i, " overflow a 64-bit sum"));
            }
        }
        if (sum != shots) {
            return concat("counts for circuit ", i, " sum to ", sum, " shot(s) but ", shots,
                          " were requested (contract C-3 shot conservation)");
        }
        for (const auto& [key, count] : map) {
            if (!is_bitstring(key)) {
                return concat("counts for circuit ", i, " contain a non-bitstring key ",
                              debug_quote(key), " (expected a string of 0/1 outcomes)");
            }
        }
    }
    return std::nullopt;
}

}  // namespace morvane::exec
