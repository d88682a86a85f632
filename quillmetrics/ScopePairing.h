#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Metrics {

// Pairs scope closes with scope opens. A ScopeClose pairs with the most recent unclosed ScopeOpen
// of the same name in the same context: a recorded file carries no scope identity, so this is the
// only pairing a file allows, and the live exporter follows it so that both count the same
// scopes. Each open carries a value of the caller's (a timestamp, an index), handed back by the
// close that pairs with it.
template <typename OpenValue>
class ScopePairing {
public:
    // Returns how many scopes of the same context were open around this one.
    int Open(uint64_t context, std::string_view name, OpenValue value) {
        auto found = m_open.find(std::make_pair(context, name));
        if (found == m_open.end()) {
            found =
                m_open.emplace(std::make_pair(context, std::string(name)), std::vector<OpenValue>())
                    .first;
        }
        found->second.push_back(std::move(value));
        ++m_pending;
        return m_depth[context]++;
    }

    // The value of the open this close pairs with; none when no open is waiting.
    std::optional<OpenValue> Close(uint64_t context, std::string_view name) {
        const auto found = m_open.find(std::make_pair(context, name));
        if (found == m_open.end()) {
            return std::nullopt;
        }
        OpenValue value = std::move(found->second.back());
        found->second.pop_back();
        --m_pending;
        if (found->second.empty()) {
            m_open.erase(found);
        }
        if (--m_depth[context] == 0) {
            m_depth.erase(context);
        }
        return value;
    }

    // How many opens wait for their close.
    size_t Pending() const { return m_pending; }

    // Forgets every open that waits: their closes will find none.
    void Clear() {
        m_open.clear();
        m_depth.clear();
        m_pending = 0;
    }

    // Calls visit(value) for every open that no close has paired with.
    template <typename Visit>
    void ForEachUnclosed(Visit visit) const {
        for (const auto& entry : m_open) {
            for (const OpenValue& value : entry.second) {
                visit(value);
            }
        }
    }

private:
    // Looks (context, name) up without copying the name: a live stream pairs every scope.
    struct KeyLess {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            return a.first != b.first ? a.first < b.first
                                      : std::string_view(a.second) < std::string_view(b.second);
        }
    };

    std::map<std::pair<uint64_t, std::string>, std::vector<OpenValue>, KeyLess> m_open;
    std::map<uint64_t, int> m_depth;
    size_t m_pending = 0;
};

}  // namespace Metrics
