// Drives a running zolt-server's remote console with an RCON client from the
// npm registry, as an operator's tool would: node rcon_client.js PORT PASSWORD.
// The server has one human playing and enough bots that status is long.
// Prints "every check passed" and ends with 0, or names the failed check
// and ends with 1. It ends the match with "end".
"use strict";
const net = require("net");
const { Rcon } = require("rcon-client");
const { encodePacket, decodePacket } = require("rcon-client/lib/packet");

const port = Number(process.argv[2]);
const password = process.argv[3];
const host = "127.0.0.1";

function check(condition, what, detail) {
  if (!condition) throw new Error(`${what}: ${detail === undefined ? "" : JSON.stringify(detail)}`);
}

// Every packet of one command's answer, read on a raw connection: the
// command, then an empty packet that the server mirrors once the answer is
// whole.
function rawCommand(command) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host, port });
    let pending = Buffer.alloc(0);
    const bodies = [];
    let authenticated = false;
    const timer = setTimeout(() => reject(new Error("no whole answer in 30 s")), 30000);
    socket.on("error", reject);
    socket.on("connect", () => {
      socket.write(encodePacket({ id: 1, type: 3, payload: Buffer.from(password) }));
    });
    socket.on("data", (data) => {
      pending = Buffer.concat([pending, data]);
      while (pending.length >= 4 && pending.length >= pending.readInt32LE(0) + 4) {
        const size = pending.readInt32LE(0);
        const packet = decodePacket(pending.subarray(0, size + 4));
        pending = pending.subarray(size + 4);
        if (!authenticated) {
          if (packet.type !== 2) continue;  // the empty response before the verdict
          if (packet.id !== 1) return reject(new Error("raw authentication failed"));
          authenticated = true;
          socket.write(encodePacket({ id: 2, type: 2, payload: Buffer.from(command) }));
          socket.write(encodePacket({ id: 3, type: 0, payload: Buffer.alloc(0) }));
        } else if (packet.id === 2) {
          bodies.push(packet.payload.toString("utf-8"));
        } else if (packet.id === 3) {
          clearTimeout(timer);
          socket.end();
          resolve(bodies);
        }
      }
    });
  });
}

async function main() {
  // A wrong password is refused (the address's first failure of three).
  let refused = false;
  try {
    await Rcon.connect({ host, port, password: "not-the-password", timeout: 10000 });
  } catch (error) {
    refused = /Authentication failed|Connection closed/.test(error.message);
  }
  check(refused, "a wrong password is refused");

  const rcon = await Rcon.connect({ host, port, password, timeout: 30000 });
  const status = await rcon.send("status");
  check(/^\d+ turns played, /.test(status), "status starts with the turns played", status.slice(0, 80));
  check(status.includes("human 0 127.0.0.1:"), "status names the human", status.slice(0, 400));
  const answers = [
    ["help", "kick N"],
    ["allow", "allow: everyone"],
    ["allow add 10.1.0.0/16", "allow: 10.1.0.0/16"],
    ["allow remove 10.1.0.0/16", "anyone may join"],
    ["pause", "paused"],
    ["status", "paused"],
    ["resume", "resumed"],
    ["kick 5", "is a bot"],
    ["kick 400", "there is no player 400"],
    ["stauts", "did you mean 'status'?"],
  ];
  for (const [command, expected] of answers) {
    const answer = await rcon.send(command);
    check(answer.includes(expected), `${command} answers ${expected}`, answer.slice(0, 200));
  }

  // A long answer comes in several packets, each within the protocol's
  // size, which together hold every player's line.
  const bodies = await rawCommand("status");
  check(bodies.length >= 2, "a long status takes several packets", bodies.length);
  for (const body of bodies) check(Buffer.byteLength(body) <= 4086, "a packet fits", body.length);
  const lines = bodies.join("").split("\n").filter((line) => line.length > 0);
  check(lines.filter((line) => line.startsWith("bot ")).length === 300, "every bot's line", lines.length);
  check(lines.filter((line) => line.startsWith("human ")).length === 1, "the human's line", lines.length);

  const end = await rcon.send("end");
  check(end === "ending the match\n", "end", end);
  console.log("every check passed");
}

main().then(
  () => process.exit(0),
  (error) => {
    console.log(`failed: ${error.message}`);
    process.exit(1);
  }
);
