#include "telegram/framing.hpp"

#include <algorithm>
#include <cstring>

namespace norvalith {

namespace {

// Telegrams that one convention must show more than the other before it is the
// module's: several whose headers agree, which chance does not give.
constexpr std::uint32_t kEstablish = 4;
// Telegrams of contrary evidence in a row, none for the convention followed, that
// turn it: a stray byte after a telegram shows the other convention once.
constexpr std::uint32_t kOverturn = 32;
constexpr std::uint32_t kShownCap = 1U << 20U;

std::size_t index_of(std::size_t extra) { return extra == kRssiCounted ? 0 : 1; }
std::size_t other(std::size_t extra) { return extra == kRssiCounted ? kRssiAppended : kRssiCounted; }

bool letter(unsigned value) { return value >= 1 && value <= 26; }

// Fewer of the bytes just read left unexplained (a telegram still cut explains
// its bytes until its rest fails to come), then more whole telegrams.
bool better(const Pass& a, const Pass& b) {
    return a.fresh_garbage < b.fresh_garbage || (a.fresh_garbage == b.fresh_garbage && a.count > b.count);
}

// Between the conventions: a burst that is exactly one telegram, then more whole
// telegrams, then more that only this one explains. Stray bytes are no evidence:
// they fit one convention as well as the other.
bool shows_more(const Pass& a, const Pass& b) {
    if (a.lone != b.lone) {
        return a.lone;
    }
    return a.count > b.count || (a.count == b.count && a.evidence > b.evidence);
}

// The identification number as meters write it: eight BCD digits (as far as seen).
bool decimal_id(std::span<const std::uint8_t> bytes, std::size_t at) {
    const std::size_t last = std::min(bytes.size(), at + 8);
    for (std::size_t i = at + 4; i < last; ++i) {
        if ((bytes[i] >> 4U) > 9 || (bytes[i] & 15U) > 9) {
            return false;
        }
    }
    return true;
}

// After a telegram's end, the bytes end, or two headers follow each other (the
// second may run past the end). The first must show its control byte and
// manufacturer: a length byte alone at the end confirms nothing.
bool chain_follows(std::span<const std::uint8_t> bytes, std::size_t end, std::size_t extra) {
    for (int seen = 0; seen < 2; ++seen) {
        if (end >= bytes.size()) {
            return end == bytes.size() || seen > 0;
        }
        if ((seen == 0 && end + 4 > bytes.size()) || !plausible_header(bytes, end)) {
            return false;
        }
        end += bytes[end] + extra;
    }
    return true;
}

// A whole header inside (from, end) with a decimal id whose telegram fits and is
// followed as telegrams are: the bytes at `from` were no telegram but came before
// one (a stray byte, noise read as a header). A header that runs on past `end` is
// left out: a telegram's last byte and the next one's first read as one too often.
bool telegram_inside(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t end, std::size_t extra) {
    for (std::size_t q = from + 1; q + kHeaderBytes <= end; ++q) {
        if (plausible_header(bytes, q) && decimal_id(bytes, q)) {
            const std::size_t q_end = q + bytes[q] + extra;
            if (q_end <= bytes.size() && chain_follows(bytes, q_end, extra)) {
                return true;
            }
        }
    }
    return false;
}

// Whether the plausible header at p, whose telegram fits, is one. Its evidence:
// a decimal id, and telegrams following it (or the bytes ending with it). Where a
// telegram may start, both suffice, and either does unless a telegram stands
// inside it (a stray byte or noise read as a header spans the telegram after
// it); elsewhere both are needed, and no telegram may stand inside. A meter heard
// before is always one. `in_cut`: p lies in the header of a telegram cut at the end.
bool accepted(const Framer& framer, std::span<const std::uint8_t> bytes, std::size_t p, std::size_t end, bool anchored,
              bool in_cut, std::size_t extra) {
    const bool decimal = decimal_id(bytes, p);
    // In the header of a telegram cut at the end, ending where the bytes end proves
    // nothing: its own fields read as a short telegram often enough.
    const bool followed = chain_follows(bytes, end, extra) && !(in_cut && end == bytes.size());
    if (decimal && followed && anchored) {
        return true;
    }
    if ((anchored ? decimal || followed : decimal && followed) && !telegram_inside(bytes, p, end, extra)) {
        return true;
    }
    return framer.known != nullptr && p + kHeaderBytes <= bytes.size() &&
           framer.known(framer.known_context, bytes.subspan(p, kHeaderBytes));
}

Pass empty_pass(std::size_t extra, std::size_t size) {
    Pass pass;
    pass.extra = extra;
    pass.size = size;
    pass.cut = size;
    return pass;
}

// Telegrams from `from` on, `anchored` when a telegram may start there (after a
// telegram, at a burst after a clean end). A byte that starts no telegram is
// skipped, and the search goes on at the next one.
Pass read_from(const Framer& framer, std::span<const std::uint8_t> bytes, std::size_t from, bool anchored,
               std::size_t extra, std::size_t fresh_from) {
    const std::size_t size = bytes.size();
    Pass r = empty_pass(extra, size);
    bool chained = false;
    // A header whose telegram runs past the end is kept for its rest only when no
    // telegram is found after it: it may be a stray byte before one.
    std::size_t maybe_cut = size;
    bool maybe_anchored = false;
    std::size_t garbage_before = 0;
    std::size_t fresh_garbage_before = 0;
    std::size_t p = from;
    while (p < size) {
        if (plausible_header(bytes, p)) {
            const std::size_t end = p + bytes[p] + extra;
            if (end > size) {
                if (maybe_cut == size && (anchored || decimal_id(bytes, p))) {
                    maybe_cut = p;
                    maybe_anchored = anchored;
                    garbage_before = r.garbage;
                    fresh_garbage_before = r.fresh_garbage;
                }
            } else if (accepted(framer, bytes, p, end, anchored, maybe_cut < size && maybe_anchored && p < maybe_cut + kHeaderBytes, extra) && r.count < kMaxPassTelegrams) {
                r.at[r.count++] = static_cast<std::uint16_t>(p);
                // Where the last length pointed, or ending the burst: this convention's evidence.
                r.evidence += chained || end == size ? 1 : 0;
                p = end;
                anchored = chained = true;
                maybe_cut = size;
                continue;
            }
        }
        ++r.garbage;
        r.fresh_garbage += p >= fresh_from ? 1 : 0;
        ++p;
        anchored = chained = false;
    }
    if (maybe_cut < size) {
        r.cut = maybe_cut;
        r.cut_anchored = maybe_anchored;
        r.garbage = garbage_before;
        r.fresh_garbage = fresh_garbage_before;
        return r;
    }
    r.ends_clean = chained;
    return r;
}

// A burst of its own that is exactly one telegram is one, whatever its manufacturer
// and id hold; its control byte must be the link layer's, or one noise burst in
// 256 would divide exactly.
Pass read_as(const Framer& framer, std::span<const std::uint8_t> bytes, std::size_t kept, bool anchored,
             std::size_t extra, bool lone) {
    if (lone && kept == 0 && starts_telegram(bytes[0]) && bytes.size() == bytes[0] + extra && valid_control(bytes[1])) {
        Pass pass = empty_pass(extra, bytes.size());
        pass.count = 1;
        pass.at[0] = 0;
        pass.evidence = plausible_header(bytes, 0) ? 1 : 0;
        pass.ends_clean = true;
        pass.lone = true;
        return pass;
    }
    return read_from(framer, bytes, 0, anchored, extra, kept);
}

void learn(Framer& framer, const Pass& ours, const Pass& theirs) {
    const bool theirs_better = shows_more(theirs, ours);
    const bool ours_better = shows_more(ours, theirs);
    if (!framer.established) {
        const Pass* shown = theirs_better ? &theirs : ours_better ? &ours : nullptr;
        if (shown != nullptr) {
            framer.shown[index_of(shown->extra)] += static_cast<std::uint32_t>(shown->evidence);
        }
        const std::uint32_t counted = framer.shown[0];
        const std::uint32_t appended = framer.shown[1];
        if (counted != appended) {
            framer.extra = counted > appended ? kRssiCounted : kRssiAppended;
        }
        framer.established = std::max(counted, appended) - std::min(counted, appended) >= kEstablish;
        if (std::max(counted, appended) > kShownCap) {
            framer.shown[0] /= 2;
            framer.shown[1] /= 2;
        }
        return;
    }
    if (theirs_better) {
        framer.contrary += static_cast<std::uint32_t>(theirs.evidence);
        if (framer.contrary >= kOverturn) {
            framer.extra = theirs.extra;
            framer.contrary = 0;
        }
    } else if (ours_better && ours.evidence > 0) {
        framer.contrary = 0;
    }
}

}  // namespace

bool valid_control(std::uint8_t control) {
    // ACK, NACK, CNF-IR and RSP-UD with their ACD and DFC bits; the requests and sends.
    switch (control & 0xCFU) {
        case 0x00:
        case 0x01:
        case 0x06:
        case 0x08:
            return true;
        default:
            break;
    }
    switch (control) {
        case 0x40:  // SND-NKE
        case 0x43:  // SND-UD2
        case 0x44:  // SND-NR
        case 0x46:  // SND-IR
        case 0x47:  // ACC-NR
        case 0x48:  // ACC-DMD
        case 0x53:  // SND-UD
        case 0x73:
        case 0x5A:  // REQ-UD1
        case 0x7A:
        case 0x5B:  // REQ-UD2
        case 0x7B:
            return true;
        default:
            return false;
    }
}

bool valid_manufacturer(std::uint8_t low, std::uint8_t high) {
    const unsigned code = low | static_cast<unsigned>(high) << 8U;
    return letter(code >> 10U & 31U) && letter(code >> 5U & 31U) && letter(code & 31U);
}

bool plausible_header(std::span<const std::uint8_t> bytes, std::size_t at) {
    const std::size_t size = bytes.size();
    if (!starts_telegram(bytes[at])) {
        return false;
    }
    if (at + 1 < size && !valid_control(bytes[at + 1])) {
        return false;
    }
    if (at + 3 < size) {
        return valid_manufacturer(bytes[at + 2], bytes[at + 3]);
    }
    // Only the low byte seen: its last letter.
    return at + 2 >= size || letter(bytes[at + 2] & 31U);
}

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
    if (fresh == 0 || kept + fresh > buffer.size()) {
        // The line was quiet: a kept piece's rest never came, and what comes next starts afresh.
        Pass none = empty_pass(framer.extra, 0);
        none.garbage = kept;
        framer.anchored = true;
        return none;
    }
    const auto bytes = buffer.first(kept + fresh);
    const bool anchored = kept > 0 ? framer.pending_anchored : framer.anchored;
    const Pass ours = read_as(framer, bytes, kept, anchored, framer.extra, true);
    // Once the convention is shown, bytes it explains whole say nothing against it.
    const Pass theirs = framer.established && (ours.lone || ours.garbage == 0)
                            ? empty_pass(other(framer.extra), bytes.size())
                            : read_as(framer, bytes, kept, anchored, other(framer.extra), !framer.established);
    learn(framer, ours, theirs);
    // Until the convention is shown, each pass is read the way that explains it best.
    Pass pass = framer.extra == theirs.extra || (!framer.established && shows_more(theirs, ours)) ? theirs : ours;
    // A completion that leaves none of the fresh bytes unexplained is as good as it gets.
    if (kept > 0 && pass.fresh_garbage > 0) {
        // The fresh bytes on their own, the kept piece dropped: they win only when
        // they explain themselves better than its completion does.
        Pass alone = read_from(framer, bytes, kept, false, pass.extra, kept);
        alone.garbage += kept;
        if (better(alone, pass)) {
            pass = alone;
        }
    }
    framer.anchored = pass.ends_clean;
    return pass;
}

std::size_t keep_cut(Framer& framer, std::span<std::uint8_t> buffer, const Pass& pass) {
    framer.pending = 0;
    if (pass.cut >= pass.size || pass.size > buffer.size()) {
        return 0;
    }
    framer.pending = pass.size - pass.cut;
    framer.pending_anchored = pass.cut_anchored;
    std::memmove(buffer.data(), buffer.data() + pass.cut, framer.pending);
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
