// SHA-256 against the standard's test vectors (the 56-byte one leaves no room for the
// length in its last block), fed whole and in pieces of awkward sizes.
#include <gtest/gtest.h>

#include <string>

#include "formats/Sha256.h"

namespace ostra {
namespace {

TEST(Sha256, StandardVectorsWholeAndInPieces) {
  const std::pair<std::string, const char*> cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  Sha256 hash;
  hash.Update("left over: a digest starts the object afresh");
  hash.Finish();
  for (const auto& [message, digest] : cases) {
    EXPECT_EQ(Sha256Text(message.data(), message.size()), digest) << message.size();
    for (std::size_t piece : {1, 63, 65, 4099}) {
      for (std::size_t at = 0; at < message.size(); at += piece) {
        hash.Update(std::string_view(message).substr(at, piece));
      }
      EXPECT_EQ(Sha256Text(hash.Finish()), digest) << message.size() << " in " << piece;
    }
  }
}

}  // namespace
}  // namespace ostra
