#include "quillmetrics/MetricsBitsUtils.h"

#include <map>

namespace Metrics {

namespace {

const std::map<std::string, unsigned long long> g_mnemonicBits = {
    {"highvol", 0x1000ULL},
    {"act", 0x10000ULL},
    {"cache", 0x20000ULL},
    {"cmd", 0x40000ULL},
    {"comp", 0x80000ULL},
    {"edit", 0x100000ULL},
    {"fltr", 0x200000ULL},
    {"flex", 0x400000ULL},
    {"flexlog", 0x800000ULL},
    {"geosearch", 0x1000000ULL},
    {"lay", 0x2000000ULL},
    {"log", 0x4000000ULL},
    {"ldi", 0x8000000ULL},
    {"mdx", 0x10000000ULL},
    {"misc", 0x20000000ULL},
    {"net", 0x40000000ULL},
    {"parse", 0x80000000ULL},
    {"pipe", 0x100000000ULL},
    {"proto", 0x200000000ULL},
    {"query", 0x400000000ULL},
    {"queryd", 0x800000000ULL},
    {"rend", 0x1000000000ULL},
    {"rpipe", 0x2000000000ULL},
    {"sql", 0x4000000000ULL},
    {"test1", 0x8000000000ULL},
    {"test2", 0x10000000000ULL},
    {"vno", 0x20000000000ULL},
    {"viz", 0x40000000000ULL},
    {"tel", 0x80000000000ULL},
    {"vnostor", 0x100000000000ULL},
    {"vnostorhigh", 0x200000000000ULL},
    {"vnoexec", 0x400000000000ULL},
    {"vnometa", 0x800000000000ULL},
    {"vnoopt", 0x1000000000000ULL},
    {"vnoflow", 0x2000000000000ULL},
    {"lorx", 0x4000000000000ULL},
    {"transparent", 0x8000000000000ULL},
    {"spanalysis", 0x10000000000000ULL},
    {"activity", 0x20000000000000ULL},
    {"span", 0x40000000000000ULL},
    {"all", 0xFFFFFFFFFFFF0000ULL},
};

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
