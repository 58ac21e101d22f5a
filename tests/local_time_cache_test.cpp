// The local-time cache against a fresh conversion of every second, in zones with
// daylight-saving changes (whole hours, half an hour) and a zone given by a POSIX rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "datafile/local_time.h"

namespace {

// Switches the process's zone for one test and back afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_old_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_old_ = false;
    std::string old_;
};

bool same_time(const LocalTime& a, const LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.weekday == b.weekday;
}

// Walks the seconds around `change` the way records do: each second several times over,
// then forwards one by one, with a jump back now and then.
int cache_mismatches_around(std::int64_t change) {
    LocalTimeCache cache;
    int mismatches = 0;
    for (std::int64_t t = change - 7200; t <= change + 7200; ++t) {
        for (std::int64_t probe : {t, t, t, t - 3600, t, t - 1, t}) {
            if (!same_time(cached_local_time(cache, probe), to_local_time(probe))) ++mismatches;
        }
    }
    return mismatches;
}

// UTC instants of daylight-saving changes in 2023.
constexpr std::int64_t BERLIN_SPRING = 1679792400;     // 2023-03-26 01:00 UTC
constexpr std::int64_t BERLIN_AUTUMN = 1698541200;     // 2023-10-29 01:00 UTC
constexpr std::int64_t LORD_HOWE_SPRING = 1696087800;  // 2023-10-01 02:00 local, half an hour forward
constexpr std::int64_t NEW_YORK_SPRING = 1678604400;   // 2023-03-12 07:00 UTC

TEST(LocalTimeCache, BerlinAcrossBothChangesEqualsFreshConversion) {
    ZoneScope zone("Europe/Berlin");
    EXPECT_EQ(cache_mismatches_around(BERLIN_SPRING), 0);
    EXPECT_EQ(cache_mismatches_around(BERLIN_AUTUMN), 0);
    // The change itself is visible: one second apart, an hour apart on the clock.
    LocalTimeCache cache;
    EXPECT_EQ(cached_local_time(cache, BERLIN_SPRING - 1).hour, 1);
    EXPECT_EQ(cached_local_time(cache, BERLIN_SPRING).hour, 3);
}

TEST(LocalTimeCache, HalfHourChangeAndPosixRuleEqualFreshConversion) {
    {
        ZoneScope zone("Australia/Lord_Howe");
        EXPECT_EQ(cache_mismatches_around(LORD_HOWE_SPRING), 0);
    }
    {
        ZoneScope zone("EST5EDT,M3.2.0/2,M11.1.0/2");
        EXPECT_EQ(cache_mismatches_around(NEW_YORK_SPRING), 0);
    }
}

TEST(LocalTimeCache, EveryNewSecondIsConvertedAfresh) {
    ZoneScope zone("UTC");
    LocalTimeCache cache;
    EXPECT_EQ(cached_local_time(cache, 0).second, 0);
    EXPECT_EQ(cached_local_time(cache, 59).second, 59);
    EXPECT_EQ(cached_local_time(cache, 59).minute, 0);
    EXPECT_EQ(cached_local_time(cache, 60).minute, 1);
    EXPECT_EQ(cached_local_time(cache, INT32_MIN).year, 1901);
}

}  // namespace
