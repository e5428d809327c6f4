// The cryptographic functions as the interpreter sees them: each converts its arguments for the
// interpreter-free core (native/core/Crypto.h), which checks them, does the work and writes its
// results straight into the interpreter's strings. No result, one result or a key pair come back
// as None, that string or a 2-tuple.

#include "native/Crypto.h"
#include "native/EntryPath.h"

#include "native/core/Crypto.h"

#include <stdexcept>

namespace quillane
{
namespace native
{
namespace
{

// The core's results as new strings of the interpreter, owned here until handed over by Take.
class ResultStrings : public core::Results
{
  public:
    ResultStrings() = default;
    ResultStrings(const ResultStrings&) = delete;
    ResultStrings& operator=(const ResultStrings&) = delete;
    ~ResultStrings()
    {
        for (size_t x = 0; x < fCount; ++x)
            Py_DECREF(fStrings[x]);
    }

    unsigned char* Add(size_t iSize) override
    {
        if (fCount == kMaxResults)
            throw std::logic_error("more results than a function has");
        unsigned char* data;
        fStrings[fCount] = py::sNewStringToFill(iSize, data);
        ++fCount;
        return data;
    }

    // A new reference to what the function returns: null (None), the result, or the pair.
    PyObject* Take()
    {
        const size_t count = fCount;
        fCount = 0;
        if (count == 0)
            return nullptr;
        if (count == 1)
            return fStrings[0];
        return py::sNewPairStealing(fStrings[0], fStrings[1]);
    }

  private:
    static constexpr size_t kMaxResults = 2;
    PyObject* fStrings[kMaxResults] = {};
    size_t fCount = 0;
};

core::Argument spArgument(PyObject* iObject)
{
    if (!py::sIsString(iObject))
        return {false, nullptr, 0};
    return {true, py::sStringData(iObject), py::sStringSize(iObject)};
}

// A function of N positional arguments, each passed to the core whatever it is.
template <size_t N, void (*Run)(const core::Argument (&)[N], core::Results&)>
PyObject* spCall(PyObject* iArgs)
{
    PyObject* objects[N] = {};
    sRequireParsed(py::sUnpackObjects(iArgs, Py_ssize_t(N), objects));
    core::Argument args[N];
    for (size_t x = 0; x < N; ++x)
        args[x] = spArgument(objects[x]);
    ResultStrings results;
    Run(args, results);
    return results.Take();
}

// A function whose arguments are ignored.
template <void (*Run)(core::Results&)> PyObject* spCall()
{
    ResultStrings results;
    Run(results);
    return results.Take();
}

} // namespace

void sCryptoInitialize()
{
    core::sInitialize();
}

PyObject* sCrypto_Random(PyObject*, PyObject* iArgs)
{
    int count;
    sRequireParsed(PyArg_ParseTuple(iArgs, "i", &count));
    ResultStrings results;
    core::sRandom(count, results);
    return results.Take();
}

PyObject* sCrypto_Symmetric_GenerateKey(PyObject*, PyObject*)
{
    return spCall<core::sSymmetric_GenerateKey>();
}

PyObject* sCrypto_Symmetric_Encrypt(PyObject*, PyObject* iArgs)
{
    return spCall<2, core::sSymmetric_Encrypt>(iArgs);
}

PyObject* sCrypto_Symmetric_Decrypt(PyObject*, PyObject* iArgs)
{
    return spCall<2, core::sSymmetric_Decrypt>(iArgs);
}

PyObject* sCrypto_PK_GenerateKeys(PyObject*, PyObject*)
{
    return spCall<core::sPK_GenerateKeys>();
}

PyObject* sCrypto_PK_Encrypt(PyObject*, PyObject* iArgs)
{
    return spCall<3, core::sPK_Encrypt>(iArgs);
}

PyObject* sCrypto_PK_Decrypt(PyObject*, PyObject* iArgs)
{
    return spCall<3, core::sPK_Decrypt>(iArgs);
}

PyObject* sCrypto_Sign_GetVerifyKey(PyObject*, PyObject* iArgs)
{
    return spCall<1, core::sSign_GetVerifyKey>(iArgs);
}

PyObject* sCrypto_Sign_Sign(PyObject*, PyObject* iArgs)
{
    return spCall<2, core::sSign_Sign>(iArgs);
}

PyObject* sCrypto_Sign_Verify(PyObject*, PyObject* iArgs)
{
    return spCall<2, core::sSign_Verify>(iArgs);
}

} // namespace native
} // namespace quillane
