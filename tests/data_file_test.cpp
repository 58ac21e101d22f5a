// The data file layout, its header tests, reading validity and record times.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <ctime>

#include "datafile/data_file.h"
#include "datafile/local_time.h"
#include "datafile/record_reader.h"
#include "test_support.h"

namespace {

TEST(WavelengthValidity, BothEndsOfTheWindowAreIncluded) {
    EXPECT_TRUE(is_valid_wavelength(1500000));
    EXPECT_TRUE(is_valid_wavelength(1575000));
    EXPECT_TRUE(is_valid_wavelength(1650000));
    EXPECT_FALSE(is_valid_wavelength(1499999));
    EXPECT_FALSE(is_valid_wavelength(1650001));
    EXPECT_FALSE(is_valid_wavelength(0));
    EXPECT_FALSE(is_valid_wavelength(-1));
    EXPECT_FALSE(is_valid_wavelength(INT32_MIN));
    EXPECT_FALSE(is_valid_wavelength(INT32_MAX));
}

std::vector<unsigned char> sample_header() { return header_bytes(test::sample_shape()); }

TEST(HeaderCheck, MagicIsOnlyItsFirstTwoBytes) {
    std::vector<unsigned char> bytes = sample_header();
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::ok);
    bytes[2] = 'x';
    bytes[3] = 0;
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::ok);
    bytes[1] = 'B';
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_magic);
    bytes[0] = 's';
    bytes[1] = 'a';
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_magic);
}

TEST(HeaderCheck, VersionMustBeOnePointThree) {
    std::vector<unsigned char> bytes = sample_header();
    bytes[header_field::VERSION_MINOR] = 2;
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_version);
    bytes[header_field::VERSION_MINOR] = 3;
    bytes[header_field::VERSION_MAJOR] = 2;
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_version);
}

TEST(HeaderCheck, TestsComeInOrderMagicVersionCount) {
    std::vector<unsigned char> bytes = sample_header();
    bytes[header_field::SENSOR_COUNT] = 0x80;
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_sensor_count);
    bytes[header_field::VERSION_MAJOR] = 0;
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_version);
    bytes[0] = 'X';
    EXPECT_EQ(check_header(bytes.data()), HeaderCheck::bad_magic);
    for (int count : {0, 1, 127}) {
        bytes = sample_header();
        bytes[header_field::SENSOR_COUNT] = static_cast<unsigned char>(count);
        EXPECT_EQ(check_header(bytes.data()), HeaderCheck::ok) << count;
    }
}

TEST(HeaderDecode, ReadsEveryField) {
    FileShape shape = test::sample_shape();
    shape.start_time = -12345;
    const DataFileHeader header = decode_header(header_bytes(shape).data());
    EXPECT_EQ(header.title, "Strain test");
    EXPECT_EQ(header.version_major, 1);
    EXPECT_EQ(header.version_minor, 3);
    EXPECT_EQ(header.company, "Example Labs");
    EXPECT_EQ(header.idn, "MU-4000");
    EXPECT_EQ(header.serial, "SA2024001");
    EXPECT_EQ(header.sensor_count, 2);
    ASSERT_EQ(header.sensors.size(), 2u);
    EXPECT_EQ(header.sensors[1].id, 2);
    EXPECT_EQ(header.sensors[1].serial, "AB2");
    EXPECT_EQ(header.start_time, -12345);
}

TEST(HeaderDecode, TextsWithoutNulStopAtTheirFieldWidth) {
    FileShape shape = test::sample_shape();
    shape.title = std::string(40, 'T');
    shape.company = std::string(20, 'C');
    shape.idn = std::string(20, 'I');
    shape.unit_serial = std::string(20, 'S');
    shape.sensors = {{200, std::string(31, 'X')}, {255, "last"}};
    const DataFileHeader header = decode_header(header_bytes(shape).data());
    EXPECT_EQ(header.title, std::string(30, 'T'));
    EXPECT_EQ(header.company, std::string(20, 'C'));
    EXPECT_EQ(header.idn, std::string(20, 'I'));
    EXPECT_EQ(header.serial, std::string(20, 'S'));
    EXPECT_EQ(header.sensors[0].id, 200);
    EXPECT_EQ(header.sensors[0].serial, std::string(31, 'X'));
    EXPECT_EQ(header.sensors[1].id, 255);
}

TEST(HeaderDecode, LeadingTextRunsToTheFirstNulOfTheHeader) {
    std::vector<unsigned char> bytes = sample_header();
    EXPECT_EQ(header_leading_text(bytes.data()), "SART");
    std::fill(bytes.begin(), bytes.end(), 'z');
    EXPECT_EQ(header_leading_text(bytes.data()), std::string(HEADER_SIZE, 'z'));
}

TEST(HeaderDecode, NegativeCountDecodesNoSensors) {
    std::vector<unsigned char> bytes = sample_header();
    bytes[header_field::SENSOR_COUNT] = 0xff;
    const DataFileHeader header = decode_header(bytes.data());
    EXPECT_EQ(header.sensor_count, -1);
    EXPECT_TRUE(header.sensors.empty());
}

TEST(Records, FieldsAreLittleEndian) {
    std::vector<unsigned char> bytes;
    append_record(bytes, {-5, 0x01020304, {{-1.25f, 1550000}, {2.0f, -1}}}, 2);
    ASSERT_EQ(bytes.size(), record_size(2));
    EXPECT_EQ(bytes[4], 0x04);
    const DataRecord record{bytes.data()};
    EXPECT_EQ(record.time_offset(), -5);
    EXPECT_EQ(record.counter(), 0x01020304);
    EXPECT_EQ(record.reading(0).physic_value, -1.25f);
    EXPECT_EQ(record.reading(0).wavelength, 1550000);
    EXPECT_EQ(record.reading(1).wavelength, -1);
}

// Records one at a time, the rest of a block at a time, or both in turn.
TEST(Records, ReaderDeliversWholeRecordsAcrossBlocksAndDropsAPartialOne) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 1000; ++i) append_record(bytes, {i, i * 3, {{0.5f, i}}}, 1);
    bytes.resize(bytes.size() + 15, 0xee);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    RecordReader reader(file, record_size(1), 100);  // a block of six records: many refills
    int count = 0;
    for (RecordBlock block = reader.next_block(); block.count > 0; block = reader.next_block()) {
        EXPECT_LE(block.count, 6u);
        for (std::size_t i = 0; i < block.count; ++i, ++count) {
            EXPECT_EQ(block[i].time_offset(), count);
            EXPECT_EQ(block[i].reading(0).wavelength, count);
        }
    }
    EXPECT_EQ(count, 1000);
    EXPECT_EQ(reader.next_block().count, 0u);
    EXPECT_FALSE(reader.failed());
    std::fclose(file);
}

TEST(RecordTime, IsTheWrappingThirtyTwoBitSum) {
    EXPECT_EQ(record_time_value(315626635, 5), 315626640);
    EXPECT_EQ(record_time_value(100, -200), -100);
    EXPECT_EQ(record_time_value(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(record_time_value(INT32_MIN, -1), INT32_MAX);
}

TEST(LocalTimeText, DayIsZeroPadded) {
    EXPECT_EQ(asctime_text(utc_calendar_time(315626635)), "Wed Jan 02 02:03:55 1980\n");
    EXPECT_EQ(asctime_text(utc_calendar_time(0)), "Thu Jan 01 00:00:00 1970\n");
    EXPECT_EQ(asctime_text(utc_calendar_time(INT32_MIN)), "Fri Dec 13 20:45:52 1901\n");
    EXPECT_EQ(asctime_text(utc_calendar_time(INT32_MAX)), "Tue Jan 19 03:14:07 2038\n");
}

TEST(LocalTimeText, UtcCalendarAgreesWithTheCLibrary) {
    for (std::int64_t t = INT32_MIN; t <= INT32_MAX; t += 7654321 + (t & 0xfff)) {
        const std::time_t value = static_cast<std::time_t>(t);
        std::tm tm{};
        ASSERT_NE(gmtime_r(&value, &tm), nullptr);
        const LocalTime ours = utc_calendar_time(t);
        ASSERT_EQ(ours.year, tm.tm_year + 1900) << t;
        ASSERT_EQ(ours.month, tm.tm_mon + 1) << t;
        ASSERT_EQ(ours.day, tm.tm_mday) << t;
        ASSERT_EQ(ours.hour, tm.tm_hour) << t;
        ASSERT_EQ(ours.minute, tm.tm_min) << t;
        ASSERT_EQ(ours.second, tm.tm_sec) << t;
        ASSERT_EQ(ours.weekday, tm.tm_wday) << t;
    }
}

TEST(LocalTimeText, ProcessZoneIsUtcInTests) {
    // The suite runs with TZ=UTC; local time must then equal the UTC calendar, before 1970 too.
    for (std::int64_t t : {std::int64_t{-1}, std::int64_t{INT32_MIN}, std::int64_t{315626635}}) {
        const LocalTime local = to_local_time(t);
        const LocalTime utc = utc_calendar_time(t);
        EXPECT_EQ(asctime_text(local), asctime_text(utc));
    }
}

}  // namespace
