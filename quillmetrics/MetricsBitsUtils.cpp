#include "quillmetrics/MetricsBitsUtils.h"

#include <iterator>
#include <map>

#include "quillmetrics/Category.h"

namespace Metrics {

namespace {

// What the rest of the library relies on: "highvol" is bit 12, the next rows name bits 16 to 54
// in ascending order, one each, and the last, "all", stands for every category bit from 16 up.
constexpr bool TableIsSound() {
    constexpr size_t rows = std::size(kCategoryMnemonics);
    for (size_t i = 0; i + 1 < rows; ++i) {
        if (kCategoryMnemonics[i].bits != (i == 0 ? Category::Highvol : 1ULL << (15 + i))) {
            return false;
        }
    }
    return kCategoryMnemonics[rows - 1].bits == Category::All;
}
static_assert(std::size(kCategoryMnemonics) == 41 && TableIsSound(),
              "the mnemonic table has lost its shape");

// The table, ordered by byte-wise comparison of the mnemonics, as lists are written.
const std::map<std::string, unsigned long long> g_mnemonicBits([] {
    std::map<std::string, unsigned long long> byName;
    for (const CategoryMnemonic& row : kCategoryMnemonics) {
        byName.emplace(row.mnemonic, row.bits);
    }
    return byName;
}());

// Calls visit for every item of a comma-separated list, empty items included.
template <typename Visit>
void ForEachItem(const std::string& list, Visit visit) {
    std::string::size_type start = 0;
    while (true) {
        const std::string::size_type comma = list.find(',', start);
        if (comma == std::string::npos) {
            visit(list.substr(start));
            return;
        }
        visit(list.substr(start, comma - start));
        start = comma + 1;
    }
}

}  // namespace

MetricsBitsUtils& MetricsBitsUtils::operator=(const MetricsBitsUtils& /*other*/) = default;

MetricsBitsUtils& MetricsBitsUtils::operator=(MetricsBitsUtils&& /*other*/) noexcept {
    return *this;
}

unsigned long long MetricsBitsUtils::GetMetricsBitsFromMnemonicList(const std::string& list) {
    unsigned long long bits = 0;
    ForEachItem(list, [&](const std::string& item) {
        const auto found = g_mnemonicBits.find(item);
        if (found != g_mnemonicBits.end()) {
            bits |= found->second;
        }
    });
    return bits;
}

std::string MetricsBitsUtils::MetricsBitsToMnemonicList(unsigned long long bits) {
    std::string result;
    for (const auto& [mnemonic, mask] : g_mnemonicBits) {
        if ((mask & bits) != 0) {
            if (!result.empty()) {
                result += ',';
            }
            result += mnemonic;
        }
    }
    return result;
}

std::string MetricsBitsUtils::ValidateMnemonicList(const std::string& list) {
    std::string result;
    ForEachItem(list, [&](const std::string& item) {
        if (g_mnemonicBits.count(item) != 0) {
            return;
        }
        if (!result.empty()) {
            result += ',';
        }
        result += item;
    });
    return result;
}

}  // namespace Metrics
