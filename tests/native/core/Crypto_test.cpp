// The cryptography's interpreter-free core (native/core/Crypto.h) as both builds of the module
// call it, on Linux and under Wine: the order of the argument checks and their messages, the
// layouts of the results against libsodium's own functions, the refusal of any changed byte or
// other key, and the random draws (nonces across threads, large counts).

#include "native/core/Crypto.h"

#include "tests/support/TestUtil.h"

#include <sodium.h>

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using namespace quillane::native::core;

namespace
{

// The results of one call. A deque: the room of an earlier result stays where it is.
struct Kept : Results
{
    std::deque<std::string> f;
    unsigned char* Add(size_t iSize) override
    {
        f.emplace_back(iSize, '\0');
        return reinterpret_cast<unsigned char*>(&f.back()[0]);
    }
};

const unsigned char* u(const std::string& iBytes)
{
    return reinterpret_cast<const unsigned char*>(iBytes.data());
}

// Arguments as the module gets them: byte strings, or (nullopt) anything else.
using Args = std::vector<std::optional<std::string>>;
using Function = void (*)(const std::vector<Argument>& iArgs, Results& oResults);
template <size_t N, void (*F)(const Argument (&)[N], Results&)>
void spRun(const std::vector<Argument>& iArgs, Results& oResults)
{
    Argument args[N];
    for (size_t x = 0; x < N; ++x)
        args[x] = iArgs.at(x);
    F(args, oResults);
}
const Function kSymEncrypt = spRun<2, sSymmetric_Encrypt>,
               kSymDecrypt = spRun<2, sSymmetric_Decrypt>, kPKEncrypt = spRun<3, sPK_Encrypt>,
               kPKDecrypt = spRun<3, sPK_Decrypt>, kVerifyKey = spRun<1, sSign_GetVerifyKey>,
               kSign = spRun<2, sSign_Sign>, kVerify = spRun<2, sSign_Verify>;

std::deque<std::string> sCall(Function iFunction, const Args& iArgs)
{
    std::vector<Argument> args;
    for (const std::optional<std::string>& arg : iArgs)
        args.push_back(arg ? Argument{true, u(*arg), arg->size()} : Argument{false, nullptr, 0});
    Kept kept;
    iFunction(args, kept);
    return kept.f;
}

// What the module's caller would read: the message, "bad allocation" or "no failure".
std::string sFailure(Function iFunction, const Args& iArgs)
{
    try
    {
        sCall(iFunction, iArgs);
    }
    catch (const std::bad_alloc&)
    {
        return "bad allocation";
    }
    catch (const std::runtime_error& ex)
    {
        return ex.what();
    }
    return "no failure";
}

const std::string kKey(32, 'k'), kSeed(32, 's'), kZeros(64, '\0');

// As the module's initialisation does.
struct CryptoCore : testing::Test
{
    static void SetUpTestSuite() { sInitialize(); }
};

TEST_F(CryptoCore, ArgumentsAreCheckedInOrderBeforeAnyWork)
{
    // Each function with the names its messages give its arguments, in check order, and a value
    // of each that passes every check: keys 32 bytes, texts any length, sealed ones their minimum.
    const std::string cipherText = kZeros.substr(24);
    const std::vector<std::pair<Function, std::vector<std::pair<std::string, std::string>>>>
        checked = {
            {kSymEncrypt, {{"symmetric key", kKey}, {"plain text", ""}}},
            {kSymDecrypt, {{"symmetric key", kKey}, {"cipher text", cipherText}}},
            {kPKEncrypt, {{"private key", kKey}, {"public key", kKey}, {"plain text", ""}}},
            {kPKDecrypt,
             {{"private key", kKey}, {"public key", kKey}, {"cipher text", cipherText}}},
            {kVerifyKey, {{"seed", kKey}}},
            {kSign, {{"seed", kKey}, {"message", ""}}},
            {kVerify, {{"verify key", kKey}, {"signed message", kZeros}}},
        };
    for (const auto& [function, params] : checked)
        for (size_t i = 0; i < params.size(); ++i)
        {
            // The arguments before i pass; i fails; every later one is no string at all.
            Args args(params.size());
            for (size_t x = 0; x < i; ++x)
                args[x] = params[x].second;
            EXPECT_EQ(sFailure(function, args), params[i].first + " is not a string");
            for (const std::string& wrong : {kKey.substr(1), kKey + "k"})
                if (params[i].second.size() == 32)
                {
                    args[i] = wrong;
                    EXPECT_EQ(sFailure(function, args), params[i].first + " is wrong length");
                }
        }
    const std::string tooShort = "cipher text is too short to contain the MAC and nonce";
    EXPECT_EQ(sFailure(kSymDecrypt, {kKey, kZeros.substr(25)}), tooShort);
    EXPECT_EQ(sFailure(kPKDecrypt, {kKey, kKey, kZeros.substr(25)}), tooShort);
    EXPECT_EQ(sFailure(kSymDecrypt, {kKey, cipherText}), "Got error from crypto_secretbox_open");
    EXPECT_EQ(sFailure(kPKDecrypt, {kKey, kKey, cipherText}), "Got error from crypto_box_open");
    // An all-zero public key gives an all-zero shared secret; the library refuses it.
    EXPECT_EQ(sFailure(kPKEncrypt, {kKey, kZeros.substr(32), ""}), "Got error from crypto_box");
    // Shorter than a signature: refused before a wrapped-around size is asked for.
    EXPECT_EQ(sFailure(kVerify, {kKey, kZeros.substr(1)}), "bad allocation");
    EXPECT_EQ(sFailure(kVerify, {kKey, kZeros}), "Got error from crypto_sign_open");
}

TEST_F(CryptoCore, ResultsHaveTheLayoutsOfTheLibrarysFunctions)
{
    Kept made;
    sSymmetric_GenerateKey(made);
    sPK_GenerateKeys(made);
    sPK_GenerateKeys(made);
    ASSERT_EQ(made.f.size(), 5u);
    const std::string key = made.f[0], aPriv = made.f[1], aPub = made.f[2], bPriv = made.f[3],
                      bPub = made.f[4], vk = sCall(kVerifyKey, {kSeed}).at(0);
    unsigned char pub[32], verifyKey[32], signingKey[64];
    crypto_scalarmult_base(pub, u(aPriv));
    crypto_sign_seed_keypair(verifyKey, signingKey, u(kSeed));
    EXPECT_EQ(aPub, std::string(reinterpret_cast<char*>(pub), 32));
    EXPECT_EQ(vk, std::string(reinterpret_cast<char*>(verifyKey), 32));

    for (const std::string& plain :
         {std::string(), std::string("a\0b", 3), std::string(76800, 'p')})
    {
        // nonce | the combined-mode output, which the library opens by itself.
        const std::string c = sCall(kSymEncrypt, {key, plain}).at(0),
                          pc = sCall(kPKEncrypt, {aPriv, bPub, plain}).at(0);
        ASSERT_EQ(c.size(), plain.size() + 40);
        ASSERT_EQ(pc.size(), plain.size() + 40);
        std::string out(plain.size(), '\0'), pout = out;
        auto* o = reinterpret_cast<unsigned char*>(&out[0]);
        auto* po = reinterpret_cast<unsigned char*>(&pout[0]);
        EXPECT_EQ(0, crypto_secretbox_open_easy(o, u(c) + 24, c.size() - 24, u(c), u(key)));
        EXPECT_EQ(0,
                  crypto_box_open_easy(po, u(pc) + 24, pc.size() - 24, u(pc), u(aPub), u(bPriv)));
        EXPECT_EQ((std::vector<std::string>{out, pout, sCall(kSymDecrypt, {key, c}).at(0),
                                            sCall(kPKDecrypt, {bPriv, aPub, pc}).at(0)}),
                  std::vector<std::string>(4, plain));

        // Signatures are deterministic: crypto_sign's own bytes.
        std::string expected(plain.size() + 64, '\0');
        crypto_sign(reinterpret_cast<unsigned char*>(&expected[0]), nullptr, u(plain), plain.size(),
                    signingKey);
        const std::string sm = sCall(kSign, {kSeed, plain}).at(0);
        EXPECT_EQ(sm, expected);
        EXPECT_EQ(sCall(kVerify, {vk, sm}).at(0), plain);
    }
}

TEST_F(CryptoCore, AnyChangedByteOrOtherKeyIsRefused)
{
    const std::string m = "attack at dawn", other(32, 'o');
    Kept keys;
    sPK_GenerateKeys(keys);
    sPK_GenerateKeys(keys);
    const std::string &aPriv = keys.f[0], &aPub = keys.f[1], &bPriv = keys.f[2], &bPub = keys.f[3];
    const std::string vk = sCall(kVerifyKey, {kSeed}).at(0);
    const struct
    {
        Function fOpen;
        std::vector<Args> fKeys; // the right keys first, then others
        std::string fSealed;
        const char* fFailure;
    } sealed[] = {
        {kSymDecrypt,
         {{kKey}, {other}},
         sCall(kSymEncrypt, {kKey, m}).at(0),
         "Got error from crypto_secretbox_open"},
        {kPKDecrypt,
         {{bPriv, aPub}, {other, aPub}, {bPriv, other}},
         sCall(kPKEncrypt, {aPriv, bPub, m}).at(0),
         "Got error from crypto_box_open"},
        {kVerify,
         {{vk}, {kKey}},
         sCall(kSign, {kSeed, m}).at(0),
         "Got error from crypto_sign_open"},
    };
    for (const auto& s : sealed)
    {
        const auto open = [&](Args iArgs, const std::string& iData)
        {
            iArgs.push_back(iData);
            return sFailure(s.fOpen, iArgs);
        };
        EXPECT_EQ(open(s.fKeys[0], s.fSealed), "no failure");
        for (size_t k = 1; k < s.fKeys.size(); ++k)
            EXPECT_EQ(open(s.fKeys[k], s.fSealed), s.fFailure);
        EXPECT_EQ(open(s.fKeys[0], s.fSealed + "z"), s.fFailure);
        EXPECT_EQ(open(s.fKeys[0], s.fSealed.substr(1)), s.fFailure);
        for (size_t i = 0; i < s.fSealed.size(); ++i)
        {
            std::string changed = s.fSealed;
            changed[i] ^= 0x01;
            EXPECT_EQ(open(s.fKeys[0], changed), s.fFailure) << i;
        }
    }
}

TEST_F(CryptoCore, NoncesNeverRepeatAcrossThreads)
{
    std::vector<std::string> nonces[5];
    quillane::test::sRunTogether(
        5,
        [&](int t)
        {
            for (int n = 0; n < 500; ++n)
                nonces[t].push_back(sCall(kSymEncrypt, {kKey, ""}).at(0).substr(0, 24));
        });
    std::set<std::string> drawn;
    for (const auto& each : nonces)
        drawn.insert(each.begin(), each.end());
    EXPECT_EQ(drawn.size(), 2500u);
}

TEST_F(CryptoCore, RandomCounts)
{
    Kept none;
    sRandom(0, none);
    EXPECT_TRUE(none.f.empty());
    EXPECT_THROW(sRandom(-1, none), std::bad_alloc);
    for (int count : {1, 32, 256, 257, 65536})
    {
        Kept two;
        sRandom(count, two);
        sRandom(count, two);
        ASSERT_EQ(two.f.size(), 2u);
        EXPECT_EQ(two.f[0].size(), size_t(count));
        EXPECT_TRUE(count < 32 || two.f[0] != two.f[1]) << count;
    }
    // A large count is expanded from a fresh seed: every byte value, no repeated half.
    Kept large;
    sRandom(65536, large);
    EXPECT_EQ(std::set<char>(large.f[0].begin(), large.f[0].end()).size(), 256u);
    EXPECT_NE(large.f[0].substr(0, 32768), large.f[0].substr(32768));
}

} // namespace
