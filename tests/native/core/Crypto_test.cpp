// The cryptography's interpreter-free core (native/core/Crypto.h), on Linux and under Wine: the
// argument checks in their order with their messages, the layouts against libsodium's own
// functions, the refusal of any changed byte or other key, the random draws.

#include "native/core/Crypto.h"

#include "tests/support/TestUtil.h"

#include <sodium.h>

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace quillane::native::core;

namespace
{

// A string's bytes for libsodium to read (u) or write (w).
const auto u = [](const auto& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
const auto w = [](std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); };

// The results of one call. A deque: the room of an earlier result stays where it is.
struct Kept : Results
{
    std::deque<std::string> f;
    unsigned char* Add(size_t iSize) override
    {
        f.emplace_back(iSize, '\0');
        return w(f.back());
    }
};

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

// What the module's caller would read: the message, "bad allocation" or "no exception".
std::string sFailure(Function iFunction, const Args& iArgs)
{
    const std::string what =
        quillane::test::sWhat<std::exception>([&] { sCall(iFunction, iArgs); });
    return what == std::bad_alloc().what() ? "bad allocation" : what;
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
    const std::string key = made.f.at(0), aPriv = made.f.at(1), aPub = made.f.at(2),
                      bPriv = made.f.at(3), bPub = made.f.at(4),
                      vk = sCall(kVerifyKey, {kSeed}).at(0);
    std::string pub(32, '\0'), verifyKey(32, '\0'), signingKey(64, '\0');
    crypto_scalarmult_base(w(pub), u(aPriv));
    crypto_sign_seed_keypair(w(verifyKey), w(signingKey), u(kSeed));
    EXPECT_EQ(aPub, pub);
    EXPECT_EQ(vk, verifyKey);

    for (const std::string& plain :
         {std::string(), std::string("a\0b", 3), std::string(76800, 'p')})
    {
        // nonce | the combined-mode output, which the library opens by itself; signatures are
        // deterministic, crypto_sign's own bytes.
        const std::string c = sCall(kSymEncrypt, {key, plain}).at(0),
                          pc = sCall(kPKEncrypt, {aPriv, bPub, plain}).at(0),
                          sm = sCall(kSign, {kSeed, plain}).at(0);
        ASSERT_EQ(c.size(), plain.size() + 40);
        ASSERT_EQ(pc.size(), c.size());
        std::string out(plain.size(), '\0'), pout = out, signedMessage(plain.size() + 64, '\0');
        EXPECT_EQ(0, crypto_secretbox_open_easy(w(out), u(c) + 24, c.size() - 24, u(c), u(key)));
        EXPECT_EQ(
            0, crypto_box_open_easy(w(pout), u(pc) + 24, pc.size() - 24, u(pc), u(aPub), u(bPriv)));
        crypto_sign(w(signedMessage), nullptr, u(plain), plain.size(), u(signingKey));
        EXPECT_EQ(sm, signedMessage);
        EXPECT_EQ((std::vector<std::string>{out, pout, sCall(kSymDecrypt, {key, c}).at(0),
                                            sCall(kPKDecrypt, {bPriv, aPub, pc}).at(0),
                                            sCall(kVerify, {vk, sm}).at(0)}),
                  std::vector<std::string>(5, plain));
    }
}

TEST_F(CryptoCore, AnyChangedByteOrOtherKeyIsRefused)
{
    const std::string m = "attack at dawn", other(32, 'o');
    Kept made;
    sPK_GenerateKeys(made);
    sPK_GenerateKeys(made);
    const std::string &aPriv = made.f[0], &aPub = made.f[1], &bPriv = made.f[2], &bPub = made.f[3];
    const std::string vk = sCall(kVerifyKey, {kSeed}).at(0);
    // Each opener with its right keys first, then others, and what it opens.
    const std::vector<std::tuple<Function, std::vector<Args>, std::string>> sealed = {
        {kSymDecrypt, {{kKey}, {other}}, sCall(kSymEncrypt, {kKey, m}).at(0)},
        {kPKDecrypt,
         {{bPriv, aPub}, {other, aPub}, {bPriv, other}},
         sCall(kPKEncrypt, {aPriv, bPub, m}).at(0)},
        {kVerify, {{vk}, {kKey}}, sCall(kSign, {kSeed, m}).at(0)},
    };
    for (const auto& [function, keys, data] : sealed)
    {
        const auto open = [f = function](Args iArgs, const std::string& iData)
        {
            iArgs.push_back(iData);
            return sFailure(f, iArgs);
        };
        // The library's refusal (its messages: ArgumentsAreCheckedInOrderBeforeAnyWork).
        const std::string refused = open(keys[1], data);
        EXPECT_EQ(refused.rfind("Got error from crypto_", 0), 0u) << refused;
        EXPECT_EQ(open(keys[0], data), "no exception");
        std::vector<std::string> changed = {data + "z", data.substr(1)};
        for (size_t i = 0; i < data.size(); ++i)
            changed.push_back(data), changed.back()[i] ^= 0x01;
        for (const std::string& bad : changed)
            EXPECT_EQ(open(keys[0], bad), refused);
        for (size_t k = 2; k < keys.size(); ++k)
            EXPECT_EQ(open(keys[k], data), refused);
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
    Kept kept;
    sRandom(0, kept);
    EXPECT_TRUE(kept.f.empty());
    EXPECT_THROW(sRandom(-1, kept), std::bad_alloc);
    const std::vector<int> counts = {1, 32, 32, 256, 256, 257, 65536, 65536};
    for (int count : counts)
        sRandom(count, kept);
    for (size_t x = 0; x < counts.size(); ++x)
        EXPECT_EQ(kept.f.at(x).size(), size_t(counts[x]));
    // No two draws of 32 bytes or more alike; a large count is expanded from a fresh seed:
    // every byte value, no repeated half.
    EXPECT_EQ(std::set<std::string>(kept.f.begin() + 1, kept.f.end()).size(), counts.size() - 1);
    const std::string& large = kept.f.back();
    EXPECT_EQ(std::set<char>(large.begin(), large.end()).size(), 256u);
    EXPECT_NE(large.substr(0, 32768), large.substr(32768));
}

} // namespace
