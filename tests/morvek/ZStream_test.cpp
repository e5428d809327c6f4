// Byte streams: one-call and looping reads and writes, end-of-stream exceptions (caught as the
// general one and as range_error) and their messages, the buffered copy (buffer choice, stop
// conditions, data), the default skip and the FILE writer's adoption and short counts.

#include "morvek/ZStream.h"

#include "tests/support/TestUtil.h"
#include "tests/support/platform/Platform_TestOS.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace Morvek;
using quillane::test::sWhat;
using namespace quillane::test::Platform;

namespace
{

// Serves fData, at most fChunk bytes per Imp_Read, and records every count asked for.
struct ChunkedReader : public ZStreamR
{
    ChunkedReader(std::string iData, size_t iChunk) : fData(std::move(iData)), fChunk(iChunk) {}

    void Imp_Read(void* oDest, size_t iCount, size_t* oCountRead) override
    {
        fAsked.push_back(iCount);
        *oCountRead = std::min(std::min(iCount, fChunk), fData.size() - fPos);
        std::memcpy(oDest, fData.data() + fPos, *oCountRead);
        fPos += *oCountRead;
    }

    std::string fData;
    size_t fChunk, fPos = 0;
    std::vector<size_t> fAsked;
};

// Takes at most fChunk bytes per Imp_Write and fCapacity in total, then 0.
struct ChunkedWriter : public ZStreamW
{
    ChunkedWriter(size_t iChunk, size_t iCapacity = size_t(-1))
        : fChunk(iChunk), fCapacity(iCapacity)
    {
    }

    void Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten) override
    {
        ++fCalls;
        *oCountWritten = std::min(std::min(iCount, fChunk), fCapacity - fData.size());
        fData.append(static_cast<const char*>(iSource), *oCountWritten);
    }

    size_t fChunk, fCapacity;
    std::string fData;
    int fCalls = 0;
};

struct ThrowingReader : public ZStreamR
{
    void Imp_Read(void*, size_t, size_t*) override { throw std::logic_error("reader broke"); }
};

std::string sPattern(size_t iSize)
{
    std::string result(iSize, '\0');
    for (size_t i = 0; i < iSize; ++i)
        result[i] = char((i * 131 + i / 251) & 0xFF);
    return result;
}

} // namespace

TEST(ZStreamR, ReadMakesOneCallReadAllLoopsAndAnExactReadThrowsAtTheEnd)
{
    ChunkedReader reader("abcdefgh", 3);
    char buffer[10] = {};
    size_t countRead = 99;
    reader.Read(buffer, 10, &countRead);
    EXPECT_EQ(3u, countRead);
    EXPECT_EQ(1u, reader.fAsked.size());
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
    reader.ReadAll(buffer, 4, &countRead);
    EXPECT_EQ(4u, countRead);
    EXPECT_EQ(0, std::memcmp(buffer, "defg", 4));
    reader.ReadAll(buffer, 10, &countRead);
    EXPECT_EQ(1u, countRead);
    EXPECT_EQ('h', buffer[0]);

    // The exact-count Read keeps what arrived before the end.
    ChunkedReader shortOne("abc", 2);
    EXPECT_EQ("ZStreamR::ExEndOfStream",
              sWhat<ZStream::ExEndOfStream>([&] { shortOne.Read(buffer, 10); }));
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
    ChunkedReader exact("xyz", 1);
    EXPECT_NO_THROW(exact.Read(buffer, 3));
    EXPECT_NO_THROW(exact.Read(buffer, 0));
}

TEST(ZStreamW, WriteLoopsUntilEverythingIsTakenOrNothingIs)
{
    ChunkedWriter writer(4);
    size_t countWritten = 0;
    writer.Write("0123456789", 10, &countWritten);
    EXPECT_EQ(10u, countWritten);
    EXPECT_EQ(3, writer.fCalls);
    EXPECT_EQ("0123456789", writer.fData);
    writer.Write("", 0, &countWritten);
    EXPECT_EQ(0u, countWritten);
    EXPECT_EQ(3, writer.fCalls);

    ChunkedWriter small(4, 4);
    small.Write("0123456789", 10, &countWritten);
    EXPECT_EQ(4u, countWritten);
    EXPECT_EQ(2, small.fCalls);

    ChunkedWriter full(4, 6);
    EXPECT_EQ("ZStreamW::ExEndOfStream",
              sWhat<std::range_error>([&] { full.Write("0123456789", 10); }));
    EXPECT_EQ("012345", full.fData);
}

TEST(ZStreamCopy, BufferByCountAndNothingTouchedForZeroBytes)
{
    // From 8192 bytes up an 8 KB buffer, else the 4 KB one.
    const std::pair<uint64_t, std::vector<size_t>> cases[] = {
        {0, {}}, {100, {100}}, {5000, {4096, 904}}, {8192, {8192}}, {10000, {8192, 1808}}};
    for (const auto& c : cases)
    {
        ChunkedReader reader(sPattern(20000), size_t(-1));
        ChunkedWriter writer(size_t(-1));
        uint64_t countRead = 7, countWritten = 7;
        reader.CopyTo(writer, c.first, &countRead, &countWritten);
        EXPECT_EQ(c.second, reader.fAsked) << c.first;
        EXPECT_EQ(c.second.size(), size_t(writer.fCalls)) << c.first;
        EXPECT_EQ(c.first, countRead);
        EXPECT_EQ(c.first, countWritten);
    }
}

TEST(ZStreamCopy, CopiesTheBytesInOrderThroughShortReadsAndWritesUpToTheSourcesEnd)
{
    const std::string data = sPattern(30000);
    ChunkedReader reader(data, 1000);
    ChunkedWriter writer(333);
    uint64_t countRead = 0, countWritten = 0;
    writer.CopyFrom(reader, 25000, &countRead, &countWritten);
    EXPECT_EQ(25000u, countRead);
    EXPECT_EQ(25000u, countWritten);
    EXPECT_EQ(data.substr(0, 25000), writer.fData);

    // The rest of the source, asking for more than it holds.
    writer.CopyFrom(reader, 100000, &countRead, &countWritten);
    EXPECT_EQ(5000u, countRead);
    EXPECT_EQ(data, writer.fData);
}

TEST(ZStreamCopy, StopsWhenTheDestinationTakesNothingAndPassesExceptionsOn)
{
    ChunkedReader reader(sPattern(10000), 1000);
    ChunkedWriter writer(100, 1500);
    uint64_t countRead = 0, countWritten = 0;
    reader.CopyTo(writer, 10000, &countRead, &countWritten);
    EXPECT_EQ(2000u, countRead);
    EXPECT_EQ(1500u, countWritten);
    EXPECT_EQ(2u, reader.fAsked.size());

    ThrowingReader thrower; // through the stack buffer and the heap one
    EXPECT_THROW(thrower.CopyTo(writer, 10, nullptr, nullptr), std::logic_error);
    EXPECT_THROW(thrower.CopyTo(writer, 100000, nullptr, nullptr), std::logic_error);
}

TEST(ZStreamR, SkipReadsInPiecesOfAtMostFourKilobytesUntilTheCountOrTheEnd)
{
    ChunkedReader reader(sPattern(9000), size_t(-1));
    uint64_t skipped = 0;
    reader.Skip(5000, &skipped);
    EXPECT_EQ(5000u, skipped);
    EXPECT_EQ((std::vector<size_t>{4096, 904}), reader.fAsked);

    reader.Skip(100000, &skipped);
    EXPECT_EQ(4000u, skipped);
    for (size_t asked : reader.fAsked)
        EXPECT_LE(asked, 4096u);
}

TEST(ZStreamW_FILE, ClosesOnlyAnAdoptedFileAndReportsShortCounts)
{
    int fds[2];
    ASSERT_TRUE(sTestOS_Pipe(fds));
    FILE* pipeFile = sTestOS_FDOpen(fds[1], "w");
    ASSERT_NE(nullptr, pipeFile);
    {
        ZStreamW_FILE stream(pipeFile);
    }
    EXPECT_TRUE(sTestOS_IsOpen(fds[1])) << "closed a file it did not adopt";
    {
        ZStreamW_FILE stream(pipeFile, true);
        stream.Write("x", 1);
    }
    EXPECT_FALSE(sTestOS_IsOpen(fds[1]));
    char c = 0;
    EXPECT_EQ(1, sTestOS_Read(fds[0], &c, 1));
    EXPECT_EQ('x', c);

    // A failing write (onto the pipe's reading end) shows only as a short count.
    FILE* readOnly = sTestOS_FDOpen(fds[0], "r");
    ASSERT_NE(nullptr, readOnly);
    ZStreamW_FILE refusing(readOnly, true);
    size_t countWritten = 9;
    refusing.Write("abc", 3, &countWritten);
    EXPECT_EQ(0u, countWritten);
    refusing.Flush();

    ZStreamW_FILE none(nullptr, true); // adopted null: nothing to write to or close
    countWritten = 9;
    none.Write("abc", 3, &countWritten);
    EXPECT_EQ(0u, countWritten);
    none.Flush();
    EXPECT_THROW(none.Write("abc", 3), ZStream::ExEndOfStream);
}
