// The report's text summary and trace-event JSON, and the writing of output files. Values are
// written byte for byte as the file holds them, which need not be UTF-8: each output repairs them
// into valid UTF-8 (U+FFFD for a stray byte), and the summary shows control characters as escapes.

#include "ReportOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <streambuf>
#include <sys/stat.h>

#include "ReportText.h"

namespace Metrics::Report {

namespace {

constexpr auto kScopeEmit = static_cast<int32_t>(Metrics::MetricsEventType::ScopeEmit);

// A run of more than kFoldAbove siblings of one name in the tree shows its first kShownOfRun and
// one line for the rest; indentation stops growing at kDeepestIndent levels.
constexpr size_t kFoldAbove = 5;
constexpr size_t kShownOfRun = 3;
constexpr size_t kDeepestIndent = 16;
// A name or a value in the summary is cut to this many characters: the file may hold megabytes
// in one of them.
constexpr size_t kLongestText = 40;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string Share(uint64_t part, uint64_t whole) {
    if (whole == 0) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%",
                  static_cast<double>(part) * 100 / static_cast<double>(whole));
    return text;
}

std::string ContextLabel(const RunModel& model, const ContextInfo& context,
                         size_t width = SIZE_MAX) {
    std::string label = "context " + std::to_string(context.id);
    if (context.name != kNoName) {
        label += " (" + Clip(model.names[context.name], width) + ")";
    }
    return label;
}

void WriteValues(std::ostream& out, const std::string& indent, const std::string& name,
                 const ValueStats& v) {
    std::string stats;
    if (v.numbers > 0) {
        stats += "numbers: min " + Number(v.min) + ", mean " +
                 Number(v.sum / static_cast<double>(v.numbers)) + ", max " + Number(v.max);
    }
    if (!v.texts.empty()) {
        stats += v.numbers > 0 ? "; values:" : "values:";
        for (size_t i = 0; i < v.texts.size(); ++i) {
            stats += (i == 0 ? " " : ", ") + Clip(v.texts[i], kLongestText);
        }
        stats += v.moreTexts ? ", \u2026" : "";
    }
    out << indent
        << Row({{Clip(name, 24), -24},
                {std::to_string(v.count) + (v.count == 1 ? " time" : " times"), -13},
                {stats, 0}});
}

void WriteFileLine(std::ostream& out, const RunFile& file) {
    out << file.path << ": ";
    if (file.events == 0) {
        out << "no events recorded\n";
    } else {
        out << file.events << " events from " << IsoDatetime(file.firstDatetime) << " to "
            << IsoDatetime(file.lastDatetime) << " (" << Duration(file.lastTs - file.firstTs)
            << ")\n";
    }
    if (file.cutLine != 0) {
        out << "warning: line " << file.cutLine
            << " is cut off (a run still being written, or one that ended abruptly); it is left "
               "out\n";
    }
}

// The context tree, walked without recursion: a file may nest contexts as deep as it likes.
void WriteContextTree(std::ostream& out, const RunModel& model, uint32_t file) {
    std::map<uint64_t, uint32_t> byId;
    for (uint32_t i = 0; i < model.contexts.size(); ++i) {
        if (model.contexts[i].file == file) {
            byId[model.contexts[i].id] = i;
        }
    }
    std::map<uint32_t, std::vector<uint32_t>> children;
    std::vector<uint32_t> roots;
    for (const auto& [id, index] : byId) {
        const auto parent = byId.find(model.contexts[index].parent);
        if (model.contexts[index].parent != 0 && parent != byId.end() && parent->second != index) {
            children[parent->second].push_back(index);
        } else {
            roots.push_back(index);
        }
    }
    std::vector<bool> seen(model.contexts.size(), false);
    // A line: a context, or (folded != 0) a fold standing for that many siblings of one name.
    struct Line {
        uint32_t context;
        size_t folded;
    };
    const auto lines = [&](const std::vector<uint32_t>& siblings) {
        std::vector<Line> result;
        for (size_t i = 0; i < siblings.size();) {
            const uint32_t name = model.contexts[siblings[i]].name;
            size_t run = 1;
            while (i + run < siblings.size() && model.contexts[siblings[i + run]].name == name) {
                ++run;
            }
            const size_t shown = run > kFoldAbove ? kShownOfRun : run;
            for (size_t k = 0; k < shown; ++k) {
                result.push_back({siblings[i + k], 0});
            }
            if (shown < run) {
                result.push_back({siblings[i], run - shown});
                for (size_t k = shown; k < run; ++k) {
                    seen[siblings[i + k]] = true;
                }
            }
            i += run;
        }
        return result;
    };
    struct Frame {
        std::vector<Line> lines;
        size_t next;
    };
    const auto walk = [&](const std::vector<uint32_t>& top) {
        std::vector<Frame> stack;
        stack.push_back({lines(top), 0});
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.lines.size()) {
                stack.pop_back();
                continue;
            }
            const Line line = frame.lines[frame.next++];
            if (line.folded == 0 && seen[line.context]) {
                continue;
            }
            const size_t depth = stack.size() - 1;
            out << "  " << std::string(std::min(depth, kDeepestIndent) * 2, ' ');
            if (depth > kDeepestIndent) {
                out << "[depth " << depth << "] ";
            }
            const ContextInfo& context = model.contexts[line.context];
            if (line.folded != 0) {
                out << "\u2026 " << line.folded << " more "
                    << Clip(model.ContextName(context), kLongestText) << "\n";
                continue;
            }
            seen[line.context] = true;
            out << ContextLabel(model, context, kLongestText) << " parent " << context.parent;
            if (context.opened && context.closed) {
                out << ", lived "
                    << Duration(context.closeTs - std::min(context.closeTs, context.openTs));
            } else if (context.opened) {
                out << ", still open at the end";
            }
            out << "\n";
            const auto found = children.find(line.context);
            if (found != children.end()) {
                stack.push_back({lines(found->second), 0});
            }
        }
    };
    walk(roots);
    // Contexts whose parents name each other in a ring reach no root: shown from where they start.
    for (const auto& [id, index] : byId) {
        if (!seen[index]) {
            walk({index});
        }
    }
}

void WriteSummary(std::ostream& out, const RunModel& model, const SummaryOptions& options) {
    if (model.files.size() > 1) {
        out << model.files.size() << " runs, one process each, merged below:\n";
    }
    for (const RunFile& file : model.files) {
        out << (model.files.size() > 1 ? "  " : "");
        WriteFileLine(out, file);
    }
    if (model.events == 0) {
        return;
    }
    out << "\nevents by type:\n";
    for (const auto& [type, count] : model.byType) {
        out << "  " << TypeName(type) << " (" << type << "): " << count << "\n";
    }
    const std::vector<ContextGroup> groups = model.ContextGroups();
    out << "\ncontexts: " << model.contexts.size() << " in " << groups.size()
        << (groups.size() == 1 ? " group" : " groups") << " by name; lifetimes:\n";
    out << Row({{"name", -24}, {"count", 8}, {"p50", 10}, {"p95", 10}, {"max", 10}, {"open", 8}});
    for (const ContextGroup& g : groups) {
        out << Row({{Clip(g.name, 24), -24},
                    {std::to_string(g.count), 8},
                    {Duration(g.lifetimes.p50), 10},
                    {Duration(g.lifetimes.p95), 10},
                    {Duration(g.lifetimes.max), 10},
                    {std::to_string(g.stillOpen), 8}});
    }
    if (options.tree) {
        for (uint32_t i = 0; i < model.files.size(); ++i) {
            out << "\ncontext tree"
                << (model.files.size() > 1 ? " of " + model.files[i].path : std::string()) << ":\n";
            WriteContextTree(out, model, i);
        }
    }
    out << "\nscopes by total time; self is the time not spent in scopes nested inside (on the "
           "same context);\nshares are of the run's "
        << Duration(model.span) << ":\n";
    out << Row({{"scope", -20},
                {"count", 7},
                {"total", 10},
                {"share", 6},
                {"self", 10},
                {"share", 6},
                {"p50", 10},
                {"p95", 10},
                {"max", 10}});
    for (const ScopeStats& s : model.StatsByTotal()) {
        out << Row({{Clip(s.name, 20), -20},
                    {std::to_string(s.count), 7},
                    {Duration(s.total), 10},
                    {Share(s.total, model.span), 6},
                    {Duration(s.self), 10},
                    {Share(s.self, model.span), 6},
                    {Duration(s.p50), 10},
                    {Duration(s.p95), 10},
                    {Duration(s.max), 10}});
    }
    if (model.busy > model.span && model.span > 0) {
        char average[32];
        std::snprintf(average, sizeof average, "%.1f",
                      static_cast<double>(model.busy) / static_cast<double>(model.span));
        out << "  note: contexts ran at the same time on several threads (" << average
            << " busy at once\n  on average), so shares add up to more than 100%\n";
    }
    out << "  unpaired: " << model.unpairedOpens << " opens, " << model.unpairedCloses
        << " closes\n";
    out << "\nattributes:\n";
    for (const auto& [name, values] : model.attributes) {
        WriteValues(out, "", name, values);
    }
    if (!model.emits.empty()) {
        out << "\nvalues emitted in scopes:\n";
        for (const auto& [scope, values] : model.emits) {
            out << "  "
                << (scope.empty() ? std::string("(in no open scope)") : Clip(scope, kLongestText))
                << ":\n";
            for (const auto& [name, stats] : values) {
                WriteValues(out, "  ", name, stats);
            }
        }
    }
}

// "123.456", microseconds with ns precision, as trace viewers read ts and dur.
void AppendMicros(std::string& out, uint64_t ns) {
    out += std::to_string(ns / 1000);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(ns % 1000));
    out += fraction;
}

// A file's descriptor as a stream buffer, keeping the first error the system reported.
class FileBuffer : public std::streambuf {
public:
    explicit FileBuffer(int fd)
        : m_fd(fd)
        , m_buffer(size_t{1} << 20) {
        setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    }
    int Error() const { return m_error; }
    int sync() override { return Drain() ? 0 : -1; }

protected:
    int_type overflow(int_type c) override {
        if (!Drain()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

private:
    bool Drain() {
        const char* at = pbase();
        while (at < pptr() && m_error == 0) {
            const ssize_t wrote = ::write(m_fd, at, static_cast<size_t>(pptr() - at));
            if (wrote < 0 && errno != EINTR) {
                m_error = errno;
            } else if (wrote > 0) {
                at += wrote;
            }
        }
        setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
        return m_error == 0;
    }
    int m_fd;
    int m_error = 0;
    std::vector<char> m_buffer;
};

}  // namespace

void PrintSummary(std::ostream& out, const RunModel& model, const SummaryOptions& options) {
    std::ostringstream text;
    WriteSummary(text, model, options);
    out << TerminalText(text.str());
}

void WriteTrace(std::ostream& out, const RunModel& model) {
    if (model.events == 0) {
        out << "{\"traceEvents\":[],\"otherData\":{\"note\":\"no events recorded\"}}\n";
        return;
    }
    std::string text = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    for (size_t i = 0; i < model.files.size(); ++i) {
        text += i == 0 ? "" : ",\n";
        text += R"({"ph":"M","name":"process_name","pid":)" + std::to_string(i + 1) +
                R"(,"tid":0,"args":{"name":)";
        AppendJsonString(text, model.files.size() == 1 ? "quillmetrics run" : model.files[i].path);
        text += "}}";
    }
    for (const ContextInfo& context : model.contexts) {
        text += ",\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":" +
                std::to_string(context.file + 1) + ",\"tid\":" + std::to_string(context.id) +
                R"(,"args":{"name":)";
        AppendJsonString(text, ContextLabel(model, context));
        text += "}}";
    }
    out << text;
    // Everything else in time order, as viewers want each track's events: the contexts' lives,
    // each scope as one complete slice, and attributes and values as instants.
    struct Item {
        uint64_t ts;
        uint32_t kind;
        uint32_t index;
    };
    std::vector<Item> items;
    items.reserve(model.spans.size() + model.marks.size() + model.contexts.size());
    for (uint32_t i = 0; i < model.contexts.size(); ++i) {
        if (model.contexts[i].opened) {
            items.push_back({model.contexts[i].openTs, 0, i});
        }
    }
    for (uint32_t i = 0; i < model.spans.size(); ++i) {
        items.push_back({model.spans[i].begin, 1, i});
    }
    for (uint32_t i = 0; i < model.marks.size(); ++i) {
        items.push_back({model.marks[i].ts, 2, i});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.ts != b.ts ? a.ts < b.ts : a.kind < b.kind;
    });
    const auto common = [&](const ContextInfo& context, uint64_t ts) {
        text += ",\"pid\":" + std::to_string(context.file + 1);
        text += ",\"tid\":" + std::to_string(context.id);
        text += ",\"ts\":";
        AppendMicros(text, ts);
    };
    for (const Item& item : items) {
        text.assign(",\n");
        if (item.kind == 0) {
            const ContextInfo& context = model.contexts[item.index];
            const uint64_t end = context.closed ? context.closeTs : model.span;
            text += R"({"ph":"X","cat":"context","name":)";
            AppendJsonString(text, ContextLabel(model, context));
            common(context, context.openTs);
            text += ",\"dur\":";
            AppendMicros(text, end - std::min(end, context.openTs));
            text += R"(,"args":{"parent":)" + std::to_string(context.parent) + "}}";
        } else if (item.kind == 1) {
            const ScopeSpan& span = model.spans[item.index];
            text += R"({"ph":"X","cat":"scope","name":)";
            AppendJsonString(text, model.names[span.name]);
            common(model.contexts[span.context], span.begin);
            text += ",\"dur\":";
            AppendMicros(text, span.end - span.begin);
            text += R"(,"args":{"self_us":)";
            AppendMicros(text, span.self);
            text += "}}";
        } else {
            const Mark& mark = model.marks[item.index];
            text += R"({"ph":"i","s":"t","cat":)";
            text += mark.type == kScopeEmit ? "\"value\"" : "\"attribute\"";
            text += ",\"name\":";
            AppendJsonString(text, model.names[mark.name]);
            common(model.contexts[mark.context], mark.ts);
            text += ",\"args\":{";
            AppendJsonString(text, model.names[mark.name]);
            text += ":";
            AppendJsonString(text, model.names[mark.value]);
            text += "}}";
        }
        out << text;
    }
    out << "\n]}\n";
}

namespace {

// Writes everything into fd and closes it: 0, or the first error the system reported.
int WriteAndClose(int fd, const std::function<void(std::ostream&)>& write, uint64_t& size) {
    int failure = 0;
    {
        FileBuffer buffer(fd);
        std::ostream out(&buffer);
        write(out);
        out.flush();
        failure = buffer.Error();
        if (failure == 0 && !out) {
            failure = EIO;
        }
    }
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    size = end < 0 ? 0 : static_cast<uint64_t>(end);
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    return failure;
}

}  // namespace

bool WriteFile(const std::string& path, const std::function<void(std::ostream&)>& write,
               std::string& error, uint64_t& size) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        // A device, a pipe or a terminal (/dev/null, /dev/stdout): renaming a file over it would
        // replace it, so it is written in place, and cannot be written whole or not at all.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        const int failure = fd < 0 ? errno : WriteAndClose(fd, write, size);
        if (failure != 0) {
            error = std::strerror(failure);  // NOLINT(concurrency-mt-unsafe): one thread
        }
        return failure == 0;
    }
    // Written beside the target and renamed over it once complete: a failure part-way leaves
    // the previous file, or none, never half of a new one. A symbolic link keeps pointing where it
    // did, and the file beside it gets a name of its own, created afresh, so that no existing file
    // (an input named like it, or a link planted there) is ever opened for writing.
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    std::string partial = target + ".partial-XXXXXX";
    const int fd = ::mkostemp(partial.data(), O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): one thread
        return false;
    }
    // mkostemp makes the file private; an output gets the permissions any new file would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int failure = ::fchmod(fd, 0666 & ~mask) != 0 ? errno : 0;
    const int written = WriteAndClose(fd, write, size);
    failure = failure != 0 ? failure : written;
    if (failure == 0 && std::rename(partial.c_str(), target.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        std::remove(partial.c_str());
        error = std::strerror(failure);  // NOLINT(concurrency-mt-unsafe): one thread
        return false;
    }
    return true;
}

}  // namespace Metrics::Report
