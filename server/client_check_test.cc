#include <gtest/gtest.h>

#include <string>

#include "server/client_link.h"

namespace {

TEST(MessageForm, TellsAPlainNumberFromWhatAuthorsGetWrong) {
  const struct {
    std::string bytes;
    size_t waiting;
    MessageForm want;
  } cases[] = {
      {"147", 0, MessageForm::Plain},
      {"-2147483648", 0, MessageForm::Plain},
      {"0", 0, MessageForm::Plain},  // a 0 is the plain text of 0; the step decides
      {"25xyz", 0, MessageForm::NotOneInteger},
      {" 25", 0, MessageForm::NotOneInteger},
      {"+7", 0, MessageForm::NotOneInteger},
      {"147\n", 0, MessageForm::NotOneInteger},
      {"007", 0, MessageForm::NotOneInteger},
      {"-0", 0, MessageForm::NotOneInteger},
      {"abc", 0, MessageForm::NotOneInteger},
      {std::string("1\0"
                   "2",
                   3),
       0, MessageForm::NotOneInteger},
      {"2147483648", 0, MessageForm::OutOfRange},
      {"-99999999999", 0, MessageForm::OutOfRange},
      {"-1-1", 0, MessageForm::TwoInOneReceive},
      {"147 147", 0, MessageForm::TwoInOneReceive},
      {"5+3", 0, MessageForm::TwoInOneReceive},
      {"147", 3, MessageForm::TwoInOneReceive},
      {"147-", 0, MessageForm::NotOneInteger},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(message_form(c.bytes.data(), c.bytes.size(), c.waiting), c.want);
  }
}

}  // namespace
