// SHA-256 against the standard's test vectors, messages that end on each side of the
// padding's block boundary, and a million 'a' fed in pieces of every awkward size.
#include <gtest/gtest.h>

#include <string>

#include "formats/Sha256.h"

namespace ostra {
namespace {

TEST(Sha256, StandardVectorsAndPaddingBoundaries) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      // 55 bytes leave room for the length in the block, 56 do not.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sha256Text(c.message.data(), c.message.size()), c.digest) << c.message.size();
    // Fed a byte at a time, and again by the same object after its first digest.
    Sha256 hash;
    hash.Update("left over from before");
    hash.Finish();
    for (char ch : c.message) hash.Update(&ch, 1);
    EXPECT_EQ(Sha256Text(hash.Finish()), c.digest) << c.message.size();
  }
}

TEST(Sha256, AMillionAInPiecesOfAnySize) {
  const std::string million(1000000, 'a');
  for (std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63}, std::size_t{64},
                            std::size_t{65}, std::size_t{4099}}) {
    Sha256 hash;
    for (std::size_t at = 0; at < million.size(); at += piece) {
      hash.Update(std::string_view(million).substr(at, piece));
    }
    EXPECT_EQ(Sha256Text(hash.Finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
        << piece;
  }
}

}  // namespace
}  // namespace ostra
