#!/usr/bin/python3
"""A TCP relay on loopback that puts distance between a client and a server: every chunk is
delivered a fixed time after it arrived, in each direction, in order, as a long network path
does. It can also stall the client's direction once, as a lost segment and its retransmission
do: the chunk that carries the client's byte number STALL_AT (counted from 1), and everything
behind it, are held back STALL_MS longer (or for good with STALL_MS -1; when the client then
closes, what was held is dropped, as a path that never recovered would have it).

  delay_relay.py --target HOST:PORT [--delay-ms D] [--stall-at N --stall-ms S]

Listens on 127.0.0.1 at a port the system picks, prints "PORT <n>" once ready and "STALLED"
when the stall begins, serves one connection and ends when both sides have closed. Loopback only: the relay is a measuring aid,
not a proxy.
"""
import argparse
import asyncio
import socket
import sys

CHUNK = 65536


class Direction:
    """One direction of the connection: what arrived, held until its delivery time."""

    def __init__(self, loop, reader, writer, delay_s, stall_at=0, stall_s=0.0):
        self.loop = loop
        self.reader = reader
        self.writer = writer
        self.delay_s = delay_s
        self.stall_at = stall_at
        self.stall_s = stall_s
        self.received = 0
        self.not_before = 0.0  # a chunk is never delivered before the one ahead of it
        self.held_for_good = False
        self.queue = asyncio.Queue()

    def release_time(self, size):
        due = self.loop.time() + self.delay_s
        first, self.received = self.received + 1, self.received + size
        if self.stall_at and first <= self.stall_at <= self.received:
            if self.stall_s < 0:
                self.held_for_good = True
            due += max(self.stall_s, 0.0)
            print("STALLED", flush=True)  # for whoever times what follows
        self.not_before = max(self.not_before, due)
        return self.not_before, self.held_for_good

    async def take_in(self):
        while True:
            try:
                data = await self.reader.read(CHUNK)
            except OSError:
                data = b""
            if not data:
                await self.queue.put((self.loop.time() + self.delay_s, None, self.held_for_good))
                return
            due, held = self.release_time(len(data))
            await self.queue.put((due, data, held))

    async def deliver(self):
        while True:
            due, data, held = await self.queue.get()
            if held:
                if data is None:
                    break  # the source has gone: the held bytes never arrive
                continue
            await asyncio.sleep(max(0.0, due - self.loop.time()))
            try:
                if data is None:
                    self.writer.write_eof()  # the other direction goes on
                    return
                self.writer.write(data)
                await self.writer.drain()
            except OSError:
                break
        self.writer.transport.abort()


async def serve(args):
    loop = asyncio.get_running_loop()
    host, port = args.target.rsplit(":", 1)
    done = loop.create_future()

    async def on_client(client_reader, client_writer):
        client_writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            server_reader, server_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            client_writer.close()
            done.set_result(1)
            return
        server_writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        delay = args.delay_ms / 1000.0
        upward = Direction(loop, client_reader, server_writer, delay, args.stall_at,
                           args.stall_ms / 1000.0 if args.stall_ms >= 0 else -1.0)
        downward = Direction(loop, server_reader, client_writer, delay)
        await asyncio.gather(upward.take_in(), upward.deliver(), downward.take_in(),
                             downward.deliver())
        client_writer.close()
        server_writer.close()
        if not done.done():
            done.set_result(0)

    server = await asyncio.start_server(on_client, "127.0.0.1", 0)
    print("PORT", server.sockets[0].getsockname()[1], flush=True)
    async with server:
        return await done


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", required=True, help="HOST:PORT of the server")
    parser.add_argument("--delay-ms", type=float, default=0.0, help="each way")
    parser.add_argument("--stall-at", type=int, default=0, help="client byte that stalls")
    parser.add_argument("--stall-ms", type=float, default=0.0, help="-1: for good")
    args = parser.parse_args()
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())
