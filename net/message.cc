#include "net/message.h"

#include "net/decimal.h"

namespace {

int32_t receive_into(SocketHandle socket, char* buffer) {
  const size_t got = socket_recv(socket, buffer, MESSAGE_LIMIT);
  buffer[got] = '\0';
  return parse_int(buffer);
}

}  // namespace

size_t format_int(int32_t value, char* out) {
  // The magnitude is taken in unsigned arithmetic so that the smallest value
  // has one too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  char reversed[MESSAGE_MAX_DIGITS];
  size_t digits = 0;
  do {
    reversed[digits++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t length = 0;
  if (value < 0) out[length++] = '-';
  while (digits > 0) out[length++] = reversed[--digits];
  out[length] = '\0';
  return length;
}

int32_t parse_int(const char* text) {
  return read_decimal_text(text).value;
}

void send_int_in(SocketHandle socket, int32_t value, char* buffer) {
  const size_t length = format_int(value, buffer);
  socket_send(socket, buffer, length);
}

void send_int(SocketHandle socket, int32_t value) {
  char scratch[MESSAGE_MAX_DIGITS + 1];
  send_int_in(socket, value, scratch);
}

int32_t recv_number(SocketHandle socket, char* buffer) {
  return receive_into(socket, buffer);
}

int32_t recv_int(SocketHandle socket) {
  char scratch[MESSAGE_LIMIT + 1];
  const int32_t value = receive_into(socket, scratch);
  return value == 0 ? NO_VALUE : value;
}
