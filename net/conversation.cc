#include "net/conversation.h"

#include <cstddef>

namespace {

struct StepText {
  Speaker speaker;
  const char* server_name;
  const char* client_name;
  Sends sends;
  Expects expects;
};

constexpr Sends S_NONE = Sends::Nothing;
constexpr Expects E_NONE = Expects::Nothing;

// In the order of Step.
constexpr StepText STEPS[] = {
    {Speaker::Client, "greeting", "greeting", S_NONE, Expects::Greeting},
    {Speaker::Server, "player count", "player count", Sends::PlayerCount, E_NONE},
    {Speaker::Client, "echo", "echo", S_NONE, Expects::Echo},
    {Speaker::Nobody, "joined", "joined", S_NONE, E_NONE},
    {Speaker::Server, "player index", "player index", Sends::PlayerIndex, E_NONE},
    {Speaker::Client, "reply to the player index", "reply", S_NONE, Expects::Reply},
    {Speaker::Server, "map", "map", Sends::MapNumber, E_NONE},
    {Speaker::Nobody, "numbered", "numbered", S_NONE, E_NONE},
    {Speaker::Client, "relay_a", "relay_a", S_NONE, Expects::TurnValue},
    {Speaker::Server, "ack", "ack", Sends::Ack, E_NONE},
    {Speaker::Client, "relay_b", "relay_b", S_NONE, Expects::TurnValue},
    {Speaker::Server, "ack", "ack", Sends::Ack, E_NONE},
    {Speaker::Client, "x", "x", S_NONE, Expects::TurnValue},
    {Speaker::Server, "ack", "ack", Sends::Ack, E_NONE},
    {Speaker::Client, "y", "y", S_NONE, Expects::TurnValue},
    {Speaker::Server, "ack", "ack", Sends::Ack, E_NONE},
    {Speaker::Client, "damage", "damage", S_NONE, Expects::TurnValue},
    {Speaker::Server, "ack", "ack", Sends::Ack, E_NONE},
    {Speaker::Client, "target", "target", S_NONE, Expects::TurnValue},
    {Speaker::Server, "ack", "ack", Sends::Ack, E_NONE},
    {Speaker::Client, "heading", "heading", S_NONE, Expects::TurnValue},
    {Speaker::Server, "relay_a", "relay_a", Sends::RelayA, E_NONE},
    {Speaker::Client, "reply to relay_a", "reply", S_NONE, Expects::Ack},
    {Speaker::Server, "relay_b", "relay_b", Sends::RelayB, E_NONE},
    {Speaker::Client, "reply to relay_b", "reply", S_NONE, Expects::Reply},
    {Speaker::Server, "pos_x", "table pos_x", Sends::PosX, E_NONE},
    {Speaker::Client, "reply to pos_x", "reply", S_NONE, Expects::Reply},
    {Speaker::Server, "pos_y", "table pos_y", Sends::PosY, E_NONE},
    {Speaker::Client, "reply to pos_y", "reply", S_NONE, Expects::Reply},
    {Speaker::Server, "health", "table health", Sends::Health, E_NONE},
    {Speaker::Client, "reply to health", "reply", S_NONE, Expects::Reply},
    {Speaker::Server, "heading", "table heading", Sends::Heading, E_NONE},
    {Speaker::Client, "reply to heading", "reply", S_NONE, Expects::Reply},
    {Speaker::Nobody, "done", "done", S_NONE, E_NONE},
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

Sends sends(Step step) {
  return text_of(step).sends;
}

Expects expects(Step step) {
  return text_of(step).expects;
}

void keep_report_value(Report& report, Step step, int32_t value) {
  switch (step) {
    case Step::RelayA:
      report.relay_a = value;
      break;
    case Step::RelayB:
      report.relay_b = value;
      break;
    case Step::X:
      report.x = value;
      break;
    case Step::Y:
      report.y = value;
      break;
    case Step::Damage:
      report.damage = value;
      break;
    case Step::Target:
      report.target = value;
      break;
    case Step::Heading:
      report.heading = value;
      break;
    default:
      break;
  }
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
