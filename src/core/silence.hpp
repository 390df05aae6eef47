// The alarm for a silent radio: a warning once a configured number of minutes pass
// without a telegram, and a notice when telegrams come again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvalith {

struct SilenceAlarm {
    std::uint32_t minutes;     // 0: no alarm
    std::int64_t last_heard;   // monotonic seconds of the last telegram, or of the start
    bool warned;               // "no telegram for N min" was logged for this silence
};

// The end of start-up counts as the last telegram. now: monotonic seconds.
void start_silence_alarm(SilenceAlarm& alarm, std::uint32_t minutes, std::int32_t now);

// After every pass of the loop, with the telegrams it handled: logs "no telegram
// for N min" once per silence, and "telegrams again after M min" (M the whole
// minutes of that silence) with the first telegram after it. A clock that cannot
// be read (now < 0) says nothing.
void check_silence(SilenceAlarm& alarm, std::size_t heard, std::int32_t now);

}  // namespace norvalith
