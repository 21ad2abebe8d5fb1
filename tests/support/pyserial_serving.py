"""What the test servers built on pyserial's RFC 2217 PortManager share: one client accepted on
127.0.0.1 at a port the system picks (announced as "PORT <n>" once listening), and the
connection as PortManager writes to it."""
import socket


class Connection:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def accept_one(lifetime_s):
    """Prints "PORT <n>", waits up to `lifetime_s` for one client; its socket, or None."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(lifetime_s)
    print("PORT", listener.getsockname()[1], flush=True)
    try:
        sock, _ = listener.accept()
    except socket.timeout:
        return None
    finally:
        listener.close()
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock
