#include <gtest/gtest.h>

#include <string>

#include "server/client_link.h"

namespace {

// The end-to-end case sends "25xyz", "+7", " 147", "99999999999" and "-1-1";
// these are the rest of the rules.
TEST(MessageForm, TellsAPlainNumberFromWhatAuthorsGetWrong) {
  const struct {
    std::string bytes;
    size_t waiting;
    MessageForm want;
  } cases[] = {
      {"0", 0, MessageForm::Plain},  // a 0 is the plain text of 0; the step decides
      {"147\n", 0, MessageForm::NotOneInteger},
      {"007", 0, MessageForm::NotOneInteger},
      {"-0", 0, MessageForm::NotOneInteger},
      {"147-", 0, MessageForm::NotOneInteger},
      {std::string("1\0"
                   "2",
                   3),
       0, MessageForm::NotOneInteger},
      {"147 147", 0, MessageForm::TwoInOneReceive},
      {"147", 3, MessageForm::TwoInOneReceive},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(message_form(c.bytes.data(), c.bytes.size(), c.waiting), c.want);
  }
}

}  // namespace
