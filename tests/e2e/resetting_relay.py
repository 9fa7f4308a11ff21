"""A relay that breaks the first answer it passes on, the way a broken link
cuts one: in front of a real server (nginx), to show its own 206."""
import socket
import socketserver
import struct
import time

import endpoints
from download_server import LoopbackServer


class ResettingRelay(LoopbackServer):
    """A relay on 127.0.0.1:PORT to a server on 127.0.0.1:`target`: the first
    answer it passes on is cut by a reset after `reset_after` bytes (head
    and all), the way a broken link cuts one; the rest pass whole."""

    def __init__(self, target, reset_after):
        self.target, self.reset_after, self.connections = target, reset_after, 0
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.connections += 1
                budget = outer.reset_after if outer.connections == 1 else None
                upstream = socket.create_connection(("127.0.0.1", outer.target), timeout=10)
                self.request.settimeout(10)
                with upstream:
                    head = b""
                    while b"\r\n\r\n" not in head:
                        chunk = self.request.recv(4096)
                        if not chunk:
                            return
                        head += chunk
                    upstream.sendall(head)
                    while True:
                        chunk = upstream.recv(65536)
                        if not chunk:
                            break
                        if budget is not None and len(chunk) >= budget:
                            self.request.sendall(chunk[:budget])
                            time.sleep(0.5)  # The client takes what came before the reset.
                            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                    struct.pack("ii", 1, 0))
                            return
                        self.request.sendall(chunk)
                        budget = None if budget is None else budget - len(chunk)
                    self.request.shutdown(socket.SHUT_WR)

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._serve(Server(("127.0.0.1", endpoints.PORT), Handler))
