// ZFunctionChain_T: a process-wide list of makers that may each supply a Result for a Param.
// Links prepend themselves when constructed, normally during static initialisation, and the
// list does not change afterwards, so walking it needs no lock. A walk takes the preferred links
// first, then the others; the first link whose Make supplies a result wins. An exception thrown
// by a Make counts as declining.
//
// Links meant to serve until the process ends are best allocated and never deleted, so that a
// walk made during static destruction still finds them.

#ifndef QUILLANE_MORVEK_ZFUNCTIONCHAIN_H
#define QUILLANE_MORVEK_ZFUNCTIONCHAIN_H

namespace Morvek
{

template <class Result_p, class Param_p> class ZFunctionChain_T
{
  public:
    typedef Result_p Result_t;
    typedef Param_p Param_t;

    // True when a link supplied oResult.
    static bool sInvoke(Result_t& oResult, Param_t iParam)
    {
        return spInvoke(true, oResult, iParam) || spInvoke(false, oResult, iParam);
    }

  protected:
    explicit ZFunctionChain_T(bool iPreferred) : fNext(spHead()), fPreferred(iPreferred)
    {
        spHead() = this;
    }

    virtual ~ZFunctionChain_T()
    {
        for (ZFunctionChain_T** cur = &spHead(); *cur; cur = &(*cur)->fNext)
        {
            if (*cur == this)
            {
                *cur = fNext;
                break;
            }
        }
    }

    ZFunctionChain_T(const ZFunctionChain_T&) = delete;
    ZFunctionChain_T& operator=(const ZFunctionChain_T&) = delete;

    // Supplies oResult and answers true, or declines.
    virtual bool Make(Result_t& oResult, Param_t iParam)
    {
        (void)oResult;
        (void)iParam;
        return false;
    }

  private:
    static ZFunctionChain_T*& spHead()
    {
        static ZFunctionChain_T* sHead = nullptr; // constant-initialised: safe at any time
        return sHead;
    }

    static bool spInvoke(bool iPreferred, Result_t& oResult, Param_t iParam)
    {
        for (ZFunctionChain_T* cur = spHead(); cur; cur = cur->fNext)
        {
            if (cur->fPreferred != iPreferred)
                continue;
            try
            {
                if (cur->Make(oResult, iParam))
                    return true;
            }
            catch (...)
            {
            }
        }
        return false;
    }

    ZFunctionChain_T* fNext;
    const bool fPreferred;
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZFUNCTIONCHAIN_H
