#include "net/message.h"

#include "net/decimal.h"

size_t format_int(int32_t value, char* out) {
  // The magnitude is taken in unsigned arithmetic so that the smallest value
  // has one too.
  const uint32_t magnitude =
      value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  size_t length = 0;
  if (value < 0) out[length++] = '-';
  length += write_decimal(magnitude, out + length);
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
  const size_t got = socket_recv(socket, buffer, MESSAGE_LIMIT);
  buffer[got] = '\0';
  return parse_int(buffer);
}
