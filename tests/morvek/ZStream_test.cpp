// Byte streams: one-call and looping reads and writes, end-of-stream exceptions and their
// messages, the buffered copy (buffer choice, stop conditions, data), the default skip,
// streamer factories and the FILE writer.

#include "morvek/ZStream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Morvek;

namespace
{

// Serves fData, at most fChunk bytes per Imp_Read, and records every count asked for.
class ChunkedReader : public ZStreamR
{
  public:
    ChunkedReader(std::string iData, size_t iChunk) : fData(std::move(iData)), fChunk(iChunk) {}

    void Imp_Read(void* oDest, size_t iCount, size_t* oCountRead) override
    {
        fAsked.push_back(iCount);
        const size_t n = std::min(std::min(iCount, fChunk), fData.size() - fPos);
        std::memcpy(oDest, fData.data() + fPos, n);
        fPos += n;
        *oCountRead = n;
    }

    std::string fData;
    size_t fChunk;
    size_t fPos = 0;
    std::vector<size_t> fAsked;
};

// Takes at most fChunk bytes per Imp_Write and fCapacity in total, then 0.
class ChunkedWriter : public ZStreamW
{
  public:
    ChunkedWriter(size_t iChunk, size_t iCapacity = size_t(-1))
        : fChunk(iChunk), fCapacity(iCapacity)
    {
    }

    void Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten) override
    {
        ++fCalls;
        const size_t n = std::min(std::min(iCount, fChunk), fCapacity - fData.size());
        fData.append(static_cast<const char*>(iSource), n);
        *oCountWritten = n;
    }

    size_t fChunk;
    size_t fCapacity;
    std::string fData;
    int fCalls = 0;
};

std::string sPattern(size_t iSize)
{
    std::string result(iSize, '\0');
    for (size_t i = 0; i < iSize; ++i)
        result[i] = char((i * 131 + i / 251) & 0xFF);
    return result;
}

} // namespace

// =================================================================================================

TEST(ZStreamR, ReadMakesOneCallAndDeliversWhatItGot)
{
    ChunkedReader reader("abc", 100);
    char buffer[10];
    size_t countRead = 99;
    reader.Read(buffer, 10, &countRead);
    EXPECT_EQ(3u, countRead);
    EXPECT_EQ(1u, reader.fAsked.size());
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
}

TEST(ZStreamR, ReadAllLoopsUntilTheCountOrTheEnd)
{
    ChunkedReader reader("abcdefgh", 3);
    char buffer[10];
    size_t countRead = 0;
    reader.ReadAll(buffer, 5, &countRead);
    EXPECT_EQ(5u, countRead);
    EXPECT_EQ(0, std::memcmp(buffer, "abcde", 5));

    reader.ReadAll(buffer, 10, &countRead);
    EXPECT_EQ(3u, countRead);
    EXPECT_EQ(0, std::memcmp(buffer, "fgh", 3));
}

TEST(ZStreamR, ReadOfAnExactCountThrowsAtTheEndKeepingWhatArrived)
{
    ChunkedReader reader("abc", 2);
    char buffer[10] = {};
    try
    {
        reader.Read(buffer, 10);
        FAIL() << "no exception";
    }
    catch (const ZStreamR::ExEndOfStream& ex)
    {
        EXPECT_STREQ("ZStreamR::ExEndOfStream", ex.what());
        const ZStream::ExEndOfStream* general = &ex;
        const std::range_error* range = &ex;
        EXPECT_NE(nullptr, general);
        EXPECT_NE(nullptr, range);
    }
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));

    ChunkedReader exact("xyz", 1);
    EXPECT_NO_THROW(exact.Read(buffer, 3));
    EXPECT_NO_THROW(exact.Read(buffer, 0));
}

// =================================================================================================

TEST(ZStreamW, WriteLoopsUntilEverythingIsTaken)
{
    ChunkedWriter writer(4);
    size_t countWritten = 0;
    writer.Write("0123456789", 10, &countWritten);
    EXPECT_EQ(10u, countWritten);
    EXPECT_EQ(3, writer.fCalls);
    EXPECT_EQ("0123456789", writer.fData);
}

TEST(ZStreamW, WriteStopsWhenTheStreamTakesNothing)
{
    ChunkedWriter writer(4, 4);
    size_t countWritten = 0;
    writer.Write("0123456789", 10, &countWritten);
    EXPECT_EQ(4u, countWritten);
    EXPECT_EQ(2, writer.fCalls);

    ChunkedWriter full(4, 6);
    try
    {
        full.Write("0123456789", 10);
        FAIL() << "no exception";
    }
    catch (const ZStreamW::ExEndOfStream& ex)
    {
        EXPECT_STREQ("ZStreamW::ExEndOfStream", ex.what());
        const ZStream::ExEndOfStream* general = &ex;
        EXPECT_NE(nullptr, general);
    }
    EXPECT_EQ("012345", full.fData);
}

// =================================================================================================

TEST(ZStreamCopy, ZeroBytesTouchesNeitherStream)
{
    ChunkedReader reader("abc", 100);
    ChunkedWriter writer(100);
    uint64_t countRead = 7, countWritten = 7;
    reader.CopyTo(writer, 0, &countRead, &countWritten);
    EXPECT_EQ(0u, countRead);
    EXPECT_EQ(0u, countWritten);
    EXPECT_TRUE(reader.fAsked.empty());
    EXPECT_EQ(0, writer.fCalls);
}

TEST(ZStreamCopy, LargeCopiesUseTheEightKilobyteBufferSmallOnesTheFourKilobyteOne)
{
    const std::string data = sPattern(20000);
    {
        ChunkedReader reader(data, size_t(-1));
        ChunkedWriter writer(size_t(-1));
        reader.CopyTo(writer, 10000, nullptr, nullptr);
        ASSERT_EQ(2u, reader.fAsked.size());
        EXPECT_EQ(8192u, reader.fAsked[0]);
        EXPECT_EQ(10000u - 8192u, reader.fAsked[1]);
    }
    {
        ChunkedReader reader(data, size_t(-1));
        ChunkedWriter writer(size_t(-1));
        reader.CopyTo(writer, 5000, nullptr, nullptr);
        ASSERT_EQ(2u, reader.fAsked.size());
        EXPECT_EQ(4096u, reader.fAsked[0]);
    }
    {
        ChunkedReader reader(data, size_t(-1));
        ChunkedWriter writer(size_t(-1));
        reader.CopyTo(writer, 100, nullptr, nullptr);
        ASSERT_EQ(1u, reader.fAsked.size());
        EXPECT_EQ(100u, reader.fAsked[0]);
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

TEST(ZStreamCopy, StopsWhenTheDestinationTakesNothingAndReportsBothCounts)
{
    ChunkedReader reader(sPattern(10000), 1000);
    ChunkedWriter writer(100, 1500);
    uint64_t countRead = 0, countWritten = 0;
    reader.CopyTo(writer, 10000, &countRead, &countWritten);
    EXPECT_EQ(2000u, countRead);
    EXPECT_EQ(1500u, countWritten);
    EXPECT_EQ(2u, reader.fAsked.size());
}

namespace
{
struct ThrowingReader : public ZStreamR
{
    void Imp_Read(void*, size_t, size_t*) override { throw std::logic_error("reader broke"); }
};

// A destination with its own copy, reached through the source's dispatch.
struct CopyingWriter : public ChunkedWriter
{
    CopyingWriter() : ChunkedWriter(size_t(-1)) {}
    void Imp_CopyFrom(const ZStreamR&, uint64_t iCount, uint64_t* oCountRead,
                      uint64_t* oCountWritten) override
    {
        fOwnCopyCount = iCount;
        *oCountRead = *oCountWritten = 42;
    }
    uint64_t fOwnCopyCount = 0;
};
} // namespace

TEST(ZStreamCopy, ExceptionsFromTheStreamsPassThroughUnchanged)
{
    ThrowingReader reader;
    ChunkedWriter writer(size_t(-1));
    EXPECT_THROW(reader.CopyTo(writer, 10, nullptr, nullptr), std::logic_error);
    EXPECT_THROW(reader.CopyTo(writer, 100000, nullptr, nullptr), std::logic_error);
    char buffer[4];
    EXPECT_THROW(reader.Read(buffer, 4), std::logic_error);
}

TEST(ZStreamCopy, SourceDispatchesToTheDestinationsOwnCopy)
{
    ChunkedReader reader("abc", 100);
    CopyingWriter writer;
    uint64_t countRead = 0, countWritten = 0;
    reader.CopyTo(writer, 77, &countRead, &countWritten);
    EXPECT_EQ(77u, writer.fOwnCopyCount);
    EXPECT_EQ(42u, countRead);
    EXPECT_EQ(42u, countWritten);
    EXPECT_TRUE(reader.fAsked.empty());
}

// =================================================================================================

TEST(ZStreamR, SkipReadsInPiecesOfAtMostFourKilobytesUntilTheCountOrTheEnd)
{
    ChunkedReader reader(sPattern(9000), size_t(-1));
    uint64_t skipped = 0;
    reader.Skip(5000, &skipped);
    EXPECT_EQ(5000u, skipped);
    ASSERT_EQ(2u, reader.fAsked.size());
    EXPECT_EQ(4096u, reader.fAsked[0]);
    EXPECT_EQ(904u, reader.fAsked[1]);

    reader.Skip(100000, &skipped);
    EXPECT_EQ(4000u, skipped);
    for (size_t asked : reader.fAsked)
        EXPECT_LE(asked, 4096u);
}

// =================================================================================================

namespace
{
struct NullFactory : public ZStreamerRWFactory
{
    ZRef<ZStreamerRW> MakeStreamerRW() override { return nullptr; }
};

struct LoopStreamerRW : public ZStreamerRW
{
    ChunkedReader fReader{"", 1};
    ChunkedWriter fWriter{1};
    const ZStreamR& GetStreamR() override { return fReader; }
    const ZStreamW& GetStreamW() override { return fWriter; }
};

struct LoopFactory : public ZStreamerRWFactory
{
    ZRef<ZStreamerRW> MakeStreamerRW() override { return fMade = new LoopStreamerRW; }
    ZRef<ZStreamerRW> fMade;
};
} // namespace

TEST(ZStreamerRWFactory, ReadAndWriteStreamersComeFromMakeStreamerRW)
{
    ZRef<NullFactory> none = new NullFactory;
    EXPECT_FALSE(none->MakeStreamerR());
    EXPECT_FALSE(none->MakeStreamerW());

    ZRef<LoopFactory> factory = new LoopFactory;
    ZRef<ZStreamerR> r = factory->MakeStreamerR();
    ASSERT_TRUE(r);
    EXPECT_EQ(static_cast<ZStreamerR*>(factory->fMade.Get()), r.Get());
    EXPECT_EQ(&static_cast<LoopStreamerRW*>(factory->fMade.Get())->fReader, &r->GetStreamR());
    ZRef<ZStreamerW> w = factory->MakeStreamerW();
    ASSERT_TRUE(w);
    // One count for both sides of one streamer.
    EXPECT_EQ(2, factory->fMade->GetRefCount());
}

// =================================================================================================

namespace
{
bool sIsOpen(int iFD)
{
    return fcntl(iFD, F_GETFD) != -1 || errno != EBADF;
}
} // namespace

TEST(ZStreamW_FILE, WritesAllBytesAndFlushes)
{
    FILE* file = tmpfile();
    ASSERT_NE(nullptr, file);
    const std::string data = sPattern(10000);
    {
        ZRef<ZStreamerW> streamer = new ZStreamerW_T<ZStreamW_FILE>(file);
        size_t countWritten = 0;
        streamer->GetStreamW().Write(data.data(), data.size(), &countWritten);
        EXPECT_EQ(data.size(), countWritten);
        streamer->GetStreamW().Flush();
    }
    // Not adopted: still open after the stream is gone.
    rewind(file);
    std::string back(data.size(), '\0');
    EXPECT_EQ(data.size(), fread(&back[0], 1, back.size(), file));
    EXPECT_EQ(data, back);
    EXPECT_EQ(0, fclose(file));
}

TEST(ZStreamW_FILE, ClosesOnlyAnAdoptedFile)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    FILE* notAdopted = fdopen(fds[1], "w");
    ASSERT_NE(nullptr, notAdopted);
    {
        ZStreamW_FILE stream(notAdopted);
    }
    EXPECT_TRUE(sIsOpen(fds[1]));
    {
        ZStreamW_FILE stream(notAdopted, true);
        stream.Write("x", 1);
    }
    EXPECT_FALSE(sIsOpen(fds[1]));
    char c = 0;
    EXPECT_EQ(1, read(fds[0], &c, 1));
    EXPECT_EQ('x', c);
    close(fds[0]);
}

TEST(ZStreamW_FILE, NullFileZeroCountOrFailingWriteStoresTheShortCount)
{
    ZStreamW_FILE none(nullptr, true); // adopted null: nothing to close
    size_t countWritten = 9;
    none.Write("abc", 3, &countWritten);
    EXPECT_EQ(0u, countWritten);
    none.Flush();
    EXPECT_THROW(none.Write("abc", 3), ZStreamW::ExEndOfStream);

    FILE* file = tmpfile();
    ASSERT_NE(nullptr, file);
    ZStreamW_FILE stream(file, true);
    countWritten = 9;
    stream.Write("abc", 0, &countWritten);
    EXPECT_EQ(0u, countWritten);
    EXPECT_EQ(0L, ftell(file));

    // A failing write (a read-only stream) shows only as a short count.
    FILE* readOnly = fopen("/dev/null", "r");
    ASSERT_NE(nullptr, readOnly);
    ZStreamW_FILE refusing(readOnly, true);
    refusing.Write("abc", 3, &countWritten);
    EXPECT_EQ(0u, countWritten);
    refusing.Flush();
}
