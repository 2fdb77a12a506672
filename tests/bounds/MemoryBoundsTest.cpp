// Hostile servers cannot make the engine or the direct route hold more than their documented
// limits: a 200 MB reply line, an endless multi-line reply and a 1 GB listing are refused with a
// clear error while the peak memory stays bounded. Each case runs in the child program
// memory_probe, whose own peak resident size (VmHWM) is the figure checked.

#include "ftp/ListingLimit.h"
#include "RunProgram.h"

#include <QProcessEnvironment>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

constexpr qint64 kMiB = 1024 * 1024;

struct Case {
    const char* scenario;
    const char* error;     // part of the error the user sees
    qint64 maxGrowth;      // bytes the run may add to the resident size
};

// The framer holds one line (64 KiB) and one multi-line reply (1 MiB, some 35000 short lines,
// as text and as bytes); sockets, Qt's buffers, the engine's log and the allocator take the rest
// (about 10 MiB in all, 20 MiB under AddressSanitizer).
constexpr qint64 kFramerBound = 32 * kMiB;
// A reader that keeps the listing in memory may hold it once (up to the limit), never twice.
constexpr qint64 kHoldingBound = zephra::ftp::kMaxListingBytes + 32 * kMiB;

class MemoryBounds : public testing::TestWithParam<Case> {};

TEST_P(MemoryBounds, HostileStreamIsRefusedWithinItsLimit)
{
    const Case& c = GetParam();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Under AddressSanitizer freed blocks wait in a quarantine that would count as held memory.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":quarantine_size_mb=1:detect_leaks=0"));
    const auto run = zephra::test::runProgram(QStringLiteral(ZEPHRA_MEMORY_PROBE), {QString::fromLatin1(c.scenario)},
                                              env, 120000);
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const auto number = [&](const char* label) {
        const auto m = QRegularExpression(QStringLiteral("^%1 (\\d+)$").arg(QLatin1String(label)),
                                          QRegularExpression::MultilineOption)
                           .match(run.out);
        return m.hasMatch() ? m.captured(1).toLongLong() * 1024 : -1;
    };
    const qint64 growth = number("peak-growth-kib");
    ASSERT_GE(growth, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("\nerror "))) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QLatin1String(c.error))) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains(QLatin1String("was replaced"))) << run.out.toStdString();
    EXPECT_LT(growth, c.maxGrowth) << c.scenario << ": the peak grew by " << growth / kMiB << " MiB";
    RecordProperty("peak_growth_kib", int(growth / 1024));
}

INSTANTIATE_TEST_SUITE_P(
    HostileServers, MemoryBounds,
    testing::Values(Case{"reply-line", "longer than 64 KiB", kFramerBound},
                    Case{"endless-multiline", "longer than 1 MiB", kFramerBound},
                    Case{"direct-listing", "larger than 64 MiB", kHoldingBound},
                    // The engine passes a listing on block by block and breaks it off at the limit.
                    Case{"engine-listing", "larger than 64 MiB", kFramerBound},
                    Case{"engine-listing-device", "larger than 64 MiB", kFramerBound},
                    // Under the byte limit, but it parsed to 3 GB of entries.
                    Case{"engine-listing-short-lines", "longer than 2000000 lines", kFramerBound},
                    Case{"direct-listing-short-lines", "longer than 2000000 lines", kHoldingBound}),
    [](const testing::TestParamInfo<Case>& info) {
        return QString::fromLatin1(info.param.scenario).replace(u'-', u'_').toStdString();
    });

}  // namespace
