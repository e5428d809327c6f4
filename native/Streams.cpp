// The uTP stream functions and their table of handles.
//
// Lock order: the interpreter lock, then the handle table's mutex; the stream layer's lock is
// never taken while either is held. Stream references therefore never drop while the interpreter
// lock or the table's mutex is held (the last one may end the stream, which takes the layer's
// lock): references leave the table by being moved out, and every local reference lives inside
// the part of a call that runs with the interpreter lock released.
//
// A blocking call lets the interpreter run its signal handlers about every 100 ms (SignalCheck):
// an exception a handler raises (KeyboardInterrupt for Ctrl-C) ends the call and reaches the
// caller; the stream stays usable.
//
// After a fork the child's table is a new, empty one: the parent's handles name nothing there.

#include "native/Streams.h"
#include "native/EntryPath.h"
#include "native/ThreadStateReleaser.h"

#include "utp/runtime/OpenStream.h"
#include "utp/runtime/StreamerRW.h"

#include "morvek/ZThread.h"
#include "morvek/platform/Platform_Thread.h"

#include <climits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace quillane
{
namespace native
{

namespace
{

using Morvek::ZRef;
using UTP::StreamerRW;

// The live streams by handle. Numbers are handed out in increasing order (wrapping past INT_MAX
// to 1, skipping live ones), so a closed handle does not at once name a new stream.
class HandleTable
{
  public:
    // Stores another reference to the stream under a new handle.
    int Add(const ZRef<StreamerRW>& iStreamerRW)
    {
        Morvek::ZGuardMtx guard(fMutex);
        while (fNext <= 0 || fStreams.count(fNext))
            fNext = fNext >= INT_MAX || fNext <= 0 ? 1 : fNext + 1;
        const int handle = fNext;
        fStreams.emplace(handle, iStreamerRW);
        fNext = handle == INT_MAX ? 1 : handle + 1;
        return handle;
    }

    // A new reference to the stream of a live handle.
    ZRef<StreamerRW> Get(int iHandle)
    {
        Morvek::ZGuardMtx guard(fMutex);
        const auto entry = fStreams.find(iHandle);
        if (entry == fStreams.end())
            spInvalid();
        return entry->second;
    }

    // Ends a live handle, handing its reference to the caller.
    ZRef<StreamerRW> Take(int iHandle)
    {
        Morvek::ZGuardMtx guard(fMutex);
        const auto entry = fStreams.find(iHandle);
        if (entry == fStreams.end())
            spInvalid();
        ZRef<StreamerRW> theStreamerRW = std::move(entry->second);
        fStreams.erase(entry);
        return theStreamerRW;
    }

    // Around a fork: the table is consistent while its mutex is held.
    void Lock() { fMutex.Acquire(); }
    void Unlock() { fMutex.Release(); }

  private:
    [[noreturn]] static void spInvalid() { throw std::runtime_error("invalid stream handle"); }

    Morvek::ZMutex fMutex;
    std::unordered_map<int, ZRef<StreamerRW>> fStreams;
    int fNext = 1;
};

// Never destroyed: streams still open at exit must not end while the process tears down. A forked
// child starts with a new table and leaves the parent's as it was (its streams belong to threads
// and a runner that the child does not have).
HandleTable* sHandles = nullptr;

void spForkPrepare()
{
    sHandles->Lock();
}

void spForkParent()
{
    sHandles->Unlock();
}

void spForkChild()
{
    if (HandleTable* fresh = new (std::nothrow) HandleTable)
        sHandles = fresh;
    else
        sHandles->Unlock(); // without memory the parent's handles stay, unusable but harmless
}

HandleTable& spHandles()
{
    static const bool sMade =
        (sHandles = new HandleTable,
         Morvek::Platform::sThread_AtFork(&spForkPrepare, &spForkParent, &spForkChild), true);
    (void)sMade;
    return *sHandles;
}

// The host of a connecting UTP_Make: a byte string as it is, a text as its UTF-8 bytes; None
// means the local host.
std::string spHost(PyObject* iHost)
{
    if (std::optional<std::string> bytes = sAsOptionalString(iHost))
        return *bytes;
    if (py::sIsNone(iHost))
        return "127.0.0.1";
    std::string text;
    if (py::sTextAsUTF8(iHost, text) == py::eText_Converted)
        return text;
    throw std::runtime_error("host is not a valid host name");
}

// Lets the interpreter run its signal handlers while a call waits (see above).
class SignalCheck : public UTP::Interruption
{
  public:
    explicit SignalCheck(ThreadStateReleaser& ioReleaser) : fReleaser(ioReleaser) {}

    void Check() override
    {
        fReleaser.Acquire();
        const bool raised = py::sRunSignalHandlers();
        fReleaser.Release();
        if (raised)
            throw PythonError();
    }

  private:
    ThreadStateReleaser& fReleaser;
};

} // namespace

PyObject* sUTP_Make(PyObject*, PyObject* iArgs)
{
    int theSocket, port, listen;
    PyObject* hostObject;
    sRequireParsed(
        PyArg_ParseTuple(iArgs, "iOii", &theSocket, &hostObject, &port, &listen));
    // A listening call ignores host and port.
    const std::string host = listen ? std::string() : spHost(hostObject);
    ThreadStateReleaser releaser;
    SignalCheck signalCheck(releaser);
    int handle;
    {
        const ZRef<Morvek::ZStreamerRW> theStreamerRW =
            UTP::sOpenStream(theSocket, host, port, listen != 0, &signalCheck);
        const ZRef<StreamerRW> theUTPStreamerRW = theStreamerRW.DynamicCast<StreamerRW>();
        if (!theUTPStreamerRW)
            return nullptr;
        try
        {
            handle = spHandles().Add(theUTPStreamerRW);
        }
        catch (...)
        {
            UTP::sCloseStream(theStreamerRW); // nobody could ever close it
            throw;
        }
    }
    releaser.Acquire();
    try
    {
        return py::sNewInt(handle);
    }
    catch (...)
    {
        // The caller never learns the handle: end it, without the interpreter lock.
        releaser.Release();
        UTP::sCloseStream(ZRef<Morvek::ZStreamerRW>(spHandles().Take(handle)));
        throw;
    }
}

PyObject* sUTP_Close(PyObject*, PyObject* iArgs)
{
    int handle;
    sRequireParsed(PyArg_ParseTuple(iArgs, "i", &handle));
    if (!handle)
        return nullptr;
    ThreadStateReleaser releaser;
    const ZRef<StreamerRW> theStreamerRW = spHandles().Take(handle);
    UTP::sCloseStream(ZRef<Morvek::ZStreamerRW>(theStreamerRW));
    return nullptr;
}

PyObject* sUTP_Read(PyObject*, PyObject* iArgs)
{
    int handle, count;
    sRequireParsed(PyArg_ParseTuple(iArgs, "ii", &handle, &count));
    if (!handle)
        return nullptr;
    ThreadStateReleaser releaser;
    SignalCheck signalCheck(releaser);
    std::unique_ptr<uint8_t[]> bytes;
    size_t countRead;
    {
        const ZRef<StreamerRW> theStreamerRW = spHandles().Get(handle);
        // A negative count would ask for gigabytes.
        if (count < 0)
            throw std::bad_alloc();
        // Allocates only what is queued, however large the count.
        countRead = theStreamerRW->ReadAvailable(size_t(count), bytes, &signalCheck);
    }
    if (!countRead)
        return nullptr;
    releaser.Acquire();
    return py::sNewString(bytes.get(), countRead);
}

PyObject* sUTP_Write(PyObject*, PyObject* iArgs)
{
    int handle;
    PyObject* data;
    sRequireParsed(PyArg_ParseTuple(iArgs, "iO", &handle, &data));
    if (!py::sIsString(data) || !handle)
        return nullptr;
    // The argument tuple keeps the (immutable) string alive for the whole call, so its bytes
    // can be read with the interpreter lock released.
    const uint8_t* source = py::sStringData(data);
    const size_t size = py::sStringSize(data);
    ThreadStateReleaser releaser;
    SignalCheck signalCheck(releaser);
    size_t countWritten = 0;
    {
        const ZRef<StreamerRW> theStreamerRW = spHandles().Get(handle);
        countWritten = theStreamerRW->WriteAll(source, size, &signalCheck);
    }
    releaser.Acquire();
    return py::sNewSize(countWritten);
}

PyObject* sUTP_SetTimeout(PyObject*, PyObject*)
{
    return nullptr;
}

} // namespace native
} // namespace quillane
