#include "core/silence.hpp"

#include "base/log.hpp"

namespace norvalith {

void start_silence_alarm(SilenceAlarm& alarm, std::uint32_t minutes, std::int32_t now) {
    alarm.minutes = minutes;
    alarm.last_heard = now;
    alarm.warned = false;
    alarm.next_question = 0;
    alarm.ask = false;
}

void check_silence(SilenceAlarm& alarm, std::size_t heard, std::int32_t now) {
    if (now < 0) {
        return;
    }
    if (alarm.last_heard < 0) {
        alarm.last_heard = now;  // the clock failed at start: count from here
    }
    if (heard > 0) {
        if (alarm.warned) {
            log_msg(LOG_NOTICE, "telegrams again after %lld min",
                    static_cast<long long>((now - alarm.last_heard) / 60));
            alarm.warned = false;
        }
        alarm.ask = false;
        alarm.last_heard = now;
        return;
    }
    const std::int64_t period = std::int64_t{alarm.minutes} * 60;
    if (alarm.minutes > 0 && !alarm.warned && now - alarm.last_heard >= period) {
        log_msg(LOG_WARNING, "no telegram for %u min", alarm.minutes);
        alarm.warned = true;
        alarm.ask = true;
        alarm.next_question = now + period;
    } else if (alarm.warned && now >= alarm.next_question) {
        alarm.ask = true;
        alarm.next_question = now + period;
    }
}

}  // namespace norvalith
