#include "telegram/framing.hpp"

#include <algorithm>
#include <cstring>

namespace norvalith {

namespace {

// A wrong guess of the convention must not last: a few bursts turn it.
constexpr std::int32_t kMaxScore = 8;
constexpr std::int32_t kConfident = 2;

bool exact(const Walk& w, std::size_t size) { return w.count > 0 && w.end == size; }

// How well a walk explains its bytes: all whole, whole up to a cut one, or stray bytes.
int quality(const Walk& w, std::size_t size) {
    if (w.end == size) {
        return 2;
    }
    return w.missing > 0 ? 1 : 0;
}

// Telegrams of the walk that carry the first one's control byte. Framed by the
// wrong convention, a run goes astray after its first telegram, and the pieces
// it then takes for telegrams start anywhere inside the real ones; meters in
// range mostly send one kind of telegram.
std::size_t agreeing(std::span<const std::uint8_t> bytes, const Walk& w, std::size_t extra) {
    std::size_t count = 0;
    for (std::size_t at = 0, i = 0; i < w.count; ++i, at += bytes[at] + extra) {
        count += bytes[at + 1] == bytes[1] ? 1 : 0;
    }
    return count;
}

// Pieces from `from` on, from length byte to length byte, whose control byte is `control`.
std::size_t pieces_like(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t extra,
                        std::uint8_t control) {
    std::size_t count = 0;
    for (std::size_t at = from; at + 1 < bytes.size() && starts_telegram(bytes[at]); at += bytes[at] + extra) {
        count += bytes[at + 1] == control ? 1 : 0;
    }
    return count;
}

Pass pass_of(const Walk& w, std::size_t start, std::size_t extra, std::size_t size) {
    Pass pass;
    pass.start = start;
    pass.extra = extra;
    pass.count = w.count;
    pass.end = start + w.end;
    pass.missing = w.missing;
    pass.size = size;
    return pass;
}

}  // namespace

Walk walk(std::span<const std::uint8_t> bytes, std::size_t extra) {
    Walk w;
    while (w.end < bytes.size() && starts_telegram(bytes[w.end])) {
        const std::size_t next = w.end + bytes[w.end] + extra;
        if (next > bytes.size()) {
            w.missing = next - bytes.size();
            break;
        }
        ++w.count;
        w.end = next;
    }
    return w;
}

Pass plan_pass(Framer& framer, std::span<const std::uint8_t> buffer, std::size_t fresh) {
    const std::size_t kept = std::min(framer.pending, buffer.size());
    framer.pending = 0;
    const bool was_alone = framer.pending_alone;
    const std::size_t alone_before = was_alone && kept >= kHeaderBytes ? kept : 0;
    framer.pending_alone = false;
    if (fresh == 0 || kept + fresh > buffer.size()) {
        Pass none;
        none.alone = alone_before;
        return none;
    }
    const auto bytes = buffer.first(kept + fresh);
    if (kept > 0) {
        const std::size_t extra = framer.pending_extra;
        const Walk completed = walk(bytes, extra);
        const Walk alone = walk(bytes.subspan(kept), extra);
        const int q_alone = quality(alone, fresh);
        const int q_completed = quality(completed, bytes.size());
        // As well explained either way: the telegrams that follow carry the kept
        // one's control byte; both still cut: the one nearer its end.
        const std::size_t after = completed.count > 0 ? bytes[0] + extra : bytes.size();
        const std::size_t a_alone = pieces_like(bytes, kept, extra, bytes[1]);
        const std::size_t a_completed = pieces_like(bytes, after, extra, bytes[1]);
        const bool tie = q_alone == q_completed;
        if (q_alone > q_completed || (tie && a_alone > a_completed) ||
            (tie && a_alone == a_completed && q_alone == 1 && completed.count == 0 && alone.count == 0 &&
             alone.missing < completed.missing)) {
            Pass pass = pass_of(alone, kept, extra, bytes.size());
            pass.alone = alone_before;
            pass.cut_alone = alone.end == 0;
            return pass;
        }
        Pass pass = pass_of(completed, 0, extra, bytes.size());
        pass.cut_alone = completed.count == 0 && was_alone;
        return pass;
    }

    const Walk counted = walk(bytes, kRssiCounted);
    const Walk appended = walk(bytes, kRssiAppended);
    const bool confident = framer.score >= kConfident || framer.score <= -kConfident;
    const std::size_t believed = framer.score >= 0 ? kRssiCounted : kRssiAppended;
    std::size_t extra = believed;
    const bool by_counted = exact(counted, bytes.size());
    const bool by_appended = exact(appended, bytes.size());
    if (by_counted != by_appended) {
        const Walk& w = by_counted ? counted : appended;
        const std::size_t shown = by_counted ? kRssiCounted : kRssiAppended;
        const auto votes = static_cast<std::int32_t>(std::min<std::size_t>(w.count, kMaxScore));
        framer.score = std::clamp(framer.score + (by_counted ? votes : -votes), -kMaxScore, kMaxScore);
        // One telegram and a byte more may be a stray byte after it in the
        // convention already seen; several back to back are proof.
        extra = w.count == 1 && confident ? believed : shown;
    } else if (!by_counted) {
        const std::size_t a = agreeing(bytes, counted, kRssiCounted);
        const std::size_t b = agreeing(bytes, appended, kRssiAppended);
        if (a != b) {
            extra = a > b ? kRssiCounted : kRssiAppended;
        }
    }
    Pass pass = pass_of(extra == kRssiCounted ? counted : appended, 0, extra, bytes.size());
    pass.cut_alone = pass.end == 0;
    return pass;
}

std::size_t keep_cut(Framer& framer, std::span<std::uint8_t> buffer, const Pass& pass) {
    framer.pending = 0;
    if (pass.missing == 0 || pass.end >= pass.size || pass.size > buffer.size()) {
        return 0;
    }
    framer.pending = pass.size - pass.end;
    framer.pending_extra = pass.extra;
    framer.pending_alone = pass.cut_alone;
    std::memmove(buffer.data(), buffer.data() + pass.end, framer.pending);
    return framer.pending;
}

std::span<const std::uint8_t> raw_copy(std::span<std::uint8_t> telegram) {
    if (telegram.empty()) {
        return {};
    }
    telegram.back() = 0;
    return telegram.first(std::min<std::size_t>(telegram[0], telegram.size()));
}

}  // namespace norvalith
