// libsodium as the Windows builds link it: Debian's source package cross-compiled with mingw-w64
// (cmake/WindowsSodium.cmake). Checked where that build can differ from Debian's Linux one: the
// random source is the system's, and the constructions the module uses give, from fixed keys,
// nonces and seeds, the very bytes that Debian's libsodium gives on Linux (the hex below was
// computed there, with python3-nacl).

#include <sodium.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;

// iCount bytes iFirst, iFirst + 1, ...: the keys, nonces and seeds of the known answers.
Bytes sCounting(size_t iCount, unsigned char iFirst)
{
    Bytes result(iCount);
    for (size_t i = 0; i < iCount; ++i)
        result[i] = static_cast<unsigned char>(iFirst + i);
    return result;
}

std::string sHex(const Bytes& iBytes)
{
    std::string hex(iBytes.size() * 2 + 1, '\0');
    sodium_bin2hex(&hex[0], hex.size(), iBytes.data(), iBytes.size());
    hex.pop_back();
    return hex;
}

// 46 bytes: with the 32 bytes of keystream that go to the authenticator first, the cipher
// text spans two Salsa20 blocks.
const std::string kText = "Sealed under Wine as Debian seals it on Linux.";
const Bytes kMessage(kText.begin(), kText.end());

const Bytes kKey = sCounting(crypto_secretbox_KEYBYTES, 0x00);
const Bytes kNonce = sCounting(crypto_box_NONCEBYTES, 0x20);
const Bytes kSecretA = sCounting(crypto_box_SECRETKEYBYTES, 0x40);
const Bytes kSecretB = sCounting(crypto_box_SECRETKEYBYTES, 0x60);
const Bytes kSeed = sCounting(crypto_sign_SEEDBYTES, 0x80);

Bytes sBoxPublic(const Bytes& iSecret)
{
    Bytes result(crypto_box_PUBLICKEYBYTES);
    crypto_scalarmult_base(result.data(), iSecret.data());
    return result;
}

struct SignKeys
{
    Bytes fPublic = Bytes(crypto_sign_PUBLICKEYBYTES);
    Bytes fSecret = Bytes(crypto_sign_SECRETKEYBYTES);
    SignKeys() { crypto_sign_seed_keypair(fPublic.data(), fSecret.data(), kSeed.data()); }
};

class WindowsBuild : public testing::Test
{
protected:
    void SetUp() override { ASSERT_GE(sodium_init(), 0); }
};

TEST_F(WindowsBuild, RandomBytesComeFromTheSystemSource)
{
    EXPECT_STREQ(randombytes_implementation_name(), "sysrandom");
    Bytes first(32), second(32);
    randombytes_buf(first.data(), first.size());
    randombytes_buf(second.data(), second.size());
    EXPECT_NE(first, second);
    EXPECT_NE(first, Bytes(32));

    // Half of 524288 bits set, give or take 1% (about seven standard deviations).
    Bytes many(65536);
    randombytes_buf(many.data(), many.size());
    long ones = 0;
    for (unsigned char byte : many)
        ones += __builtin_popcount(byte);
    EXPECT_NEAR(ones, 262144, 2621);
}

struct Derivation
{
    const char* fName;
    const char* fHex;
    Bytes (*fDerive)();
};

const Derivation kDerivations[] = {
    {"randombytes_buf_deterministic",
     "ec77007d83ff8d08c7fe69b491713a6bd81bdb8b16f06600e3cd93deeeb32a1a",
     []
     {
         Bytes out(32);
         randombytes_buf_deterministic(out.data(), out.size(), kSeed.data());
         return out;
     }},
    {"crypto_scalarmult_base", "79a631eede1bf9c98f12032cdeadd0e7a079398fc786b88cc846ec89af85a51a",
     [] { return sBoxPublic(kSecretA); }},
    {"crypto_sign_seed_keypair", "cd14b37f956e953194ff7fb73b3d81dcc561d61a7538094b7c3e1a643ee5f3aa",
     [] { return SignKeys().fPublic; }},
};

TEST_F(WindowsBuild, KeysFollowFromTheirSeeds)
{
    for (const Derivation& derivation : kDerivations)
        EXPECT_EQ(sHex(derivation.fDerive()), derivation.fHex) << derivation.fName;
}

// Each construction seals kMessage to the known bytes, opens them back to kMessage, and refuses
// them with a bit flipped in the authenticator or signature (first byte) or in the body.
struct Construction
{
    const char* fName;
    const char* fHex;
    Bytes (*fSeal)();
    bool (*fOpen)(const Bytes& iSealed, Bytes& oMessage);
};

const Construction kConstructions[] = {
    {"secretbox (XSalsa20-Poly1305)",
     "6f4cf493565919277b2cd32eb6ed348ea23c2cc928437ae36751301c2c1fde9adc92dcf8d15d4616d5175db2b1"
     "7ecd91c42bb9b7dbc617efef073dfe8df3",
     []
     {
         Bytes sealed(kMessage.size() + crypto_secretbox_MACBYTES);
         crypto_secretbox_easy(sealed.data(), kMessage.data(), kMessage.size(), kNonce.data(),
                               kKey.data());
         return sealed;
     },
     [](const Bytes& iSealed, Bytes& oMessage)
     {
         oMessage.resize(iSealed.size() - crypto_secretbox_MACBYTES);
         return 0 == crypto_secretbox_open_easy(oMessage.data(), iSealed.data(), iSealed.size(),
                                                kNonce.data(), kKey.data());
     }},
    {"box (Curve25519-XSalsa20-Poly1305), A to B",
     "4ef12f24c3acf770755088a0dd2e6bb4b389073c0aac717a944cb8a9a458d2a9db6396928a0ee5bad43c097781"
     "4bb26f8d2cb98de5466d628d26b96c1533",
     []
     {
         Bytes sealed(kMessage.size() + crypto_box_MACBYTES);
         if (0 != crypto_box_easy(sealed.data(), kMessage.data(), kMessage.size(),
                                  kNonce.data(), sBoxPublic(kSecretB).data(), kSecretA.data()))
             sealed.clear(); // a refused key pair seals nothing
         return sealed;
     },
     [](const Bytes& iSealed, Bytes& oMessage)
     {
         oMessage.resize(iSealed.size() - crypto_box_MACBYTES);
         return 0 == crypto_box_open_easy(oMessage.data(), iSealed.data(), iSealed.size(),
                                          kNonce.data(), sBoxPublic(kSecretA).data(),
                                          kSecretB.data());
     }},
    {"sign (Ed25519)",
     "dc711c26456f48e45c9f1714125607a37f668561fd26cf140b290d37f823a003436ef6b95fea4e9f18b64ab6a5"
     "a1bd8443f622da537c5b31373ae00b16d235085365616c656420756e6465722057696e65206173204465626961"
     "6e207365616c73206974206f6e204c696e75782e",
     []
     {
         Bytes sealed(kMessage.size() + crypto_sign_BYTES);
         unsigned long long size = 0;
         crypto_sign(sealed.data(), &size, kMessage.data(), kMessage.size(),
                     SignKeys().fSecret.data());
         sealed.resize(size);
         return sealed;
     },
     [](const Bytes& iSealed, Bytes& oMessage)
     {
         oMessage.resize(iSealed.size());
         unsigned long long size = 0;
         const bool valid = 0 == crypto_sign_open(oMessage.data(), &size, iSealed.data(),
                                                  iSealed.size(), SignKeys().fPublic.data());
         oMessage.resize(valid ? size : 0);
         return valid;
     }},
};

TEST_F(WindowsBuild, ConstructionsGiveTheBytesOfTheLinuxBuild)
{
    for (const Construction& construction : kConstructions)
    {
        SCOPED_TRACE(construction.fName);
        const Bytes sealed = construction.fSeal();
        EXPECT_EQ(sHex(sealed), construction.fHex);
        Bytes opened;
        EXPECT_TRUE(construction.fOpen(sealed, opened));
        EXPECT_EQ(opened, kMessage);
        for (size_t at : {size_t(0), sealed.size() - 1})
        {
            Bytes flipped = sealed;
            flipped[at] ^= 0x10;
            EXPECT_FALSE(construction.fOpen(flipped, opened)) << "bit flipped in byte " << at;
        }
    }
}

} // namespace
