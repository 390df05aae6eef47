// The alarm for a silent radio: a warning once a configured number of minutes pass
// without a telegram, and a notice when telegrams come again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvalith {

struct SilenceAlarm {
    std::uint32_t minutes;       // 0: no alarm
    std::int64_t last_heard;     // monotonic seconds of the last telegram, or of the start
    bool warned;                 // "no telegram for N min" was logged for this silence
    std::int64_t next_question;  // monotonic seconds of the next question to the module
    bool ask;                    // the module is to be asked whether it is alive
};

// The end of start-up counts as the last telegram. now: monotonic seconds.
void start_silence_alarm(SilenceAlarm& alarm, std::uint32_t minutes, std::int32_t now);

// After every pass of the loop, with the telegrams it handled: logs "no telegram
// for N min" once per silence, and "telegrams again after M min" (M the whole
// minutes of that silence) with the first telegram after it. A clock that cannot
// be read (now < 0) says nothing. Sets `ask` with the warning and every `minutes`
// after it while the silence lasts: a quiet neighbourhood and a dead module look
// alike until the module is asked.
void check_silence(SilenceAlarm& alarm, std::size_t heard, std::int32_t now);

}  // namespace norvalith
