#include "net/conversation.h"

#include <cstddef>

namespace {

struct StepText {
  Speaker speaker;
  const char* server_name;
  const char* client_name;
};

// In the order of Step.
constexpr StepText STEPS[] = {
    {Speaker::Client, "greeting", "greeting"},
    {Speaker::Server, "player count", "player count"},
    {Speaker::Client, "echo", "echo"},
    {Speaker::Nobody, "joined", "joined"},
    {Speaker::Server, "player index", "player index"},
    {Speaker::Client, "reply to the player index", "reply"},
    {Speaker::Server, "map", "map"},
    {Speaker::Nobody, "numbered", "numbered"},
    {Speaker::Client, "relay_a", "relay_a"},
    {Speaker::Server, "ack", "ack"},
    {Speaker::Client, "relay_b", "relay_b"},
    {Speaker::Server, "ack", "ack"},
    {Speaker::Client, "x", "x"},
    {Speaker::Server, "ack", "ack"},
    {Speaker::Client, "y", "y"},
    {Speaker::Server, "ack", "ack"},
    {Speaker::Client, "damage", "damage"},
    {Speaker::Server, "ack", "ack"},
    {Speaker::Client, "target", "target"},
    {Speaker::Server, "ack", "ack"},
    {Speaker::Client, "heading", "heading"},
    {Speaker::Server, "relay_a", "relay_a"},
    {Speaker::Client, "reply to relay_a", "reply"},
    {Speaker::Server, "relay_b", "relay_b"},
    {Speaker::Client, "reply to relay_b", "reply"},
    {Speaker::Server, "pos_x", "table pos_x"},
    {Speaker::Client, "reply to pos_x", "reply"},
    {Speaker::Server, "pos_y", "table pos_y"},
    {Speaker::Client, "reply to pos_y", "reply"},
    {Speaker::Server, "health", "table health"},
    {Speaker::Client, "reply to health", "reply"},
    {Speaker::Server, "heading", "table heading"},
    {Speaker::Client, "reply to heading", "reply"},
    {Speaker::Nobody, "done", "done"},
};
static_assert(sizeof STEPS / sizeof STEPS[0] == static_cast<size_t>(Step::Done) + 1);

const StepText& text_of(Step step) {
  return STEPS[static_cast<size_t>(step)];
}

Step after(Step step) {
  return static_cast<Step>(static_cast<uint8_t>(step) + 1);
}

}  // namespace

Speaker speaker(Step step) {
  return text_of(step).speaker;
}

const char* server_step_name(Step step) {
  return text_of(step).server_name;
}

const char* client_step_name(Step step) {
  return text_of(step).client_name;
}

Cursor next_step(Cursor at, int32_t value, int32_t player_count) {
  switch (at.step) {
    case Step::Joined:
    case Step::Numbered:
    case Step::Done:
      return at;
    case Step::Echo:
      return {Step::Joined, 0};
    case Step::Map:
      return {Step::Numbered, 0};
    case Step::Damage:
      return {reports_hit(value) ? Step::AckDamage : Step::AckHit, 0};
    case Step::ReplyToRelayB:
      return player_count > 0 ? Cursor{Step::RowX, 0} : Cursor{Step::Done, 0};
    case Step::RowHeading:
      return at.row >= player_count - 1 ? Cursor{Step::Done, 0}
                                        : Cursor{Step::ReplyToRowHeading, at.row};
    case Step::ReplyToRowHeading:
      return {Step::RowX, at.row + 1};
    default:
      return {after(at.step), at.row};
  }
}
