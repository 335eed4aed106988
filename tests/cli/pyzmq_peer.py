#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""pyzmq on the other end of the tool, for the interoperability tests.

  pyzmq_peer.py create DIR NAME        certificates as zmq.auth writes them
  pyzmq_peer.py check SECRET_FILE      loads a certificate pair; exit 1 when
                                       its public key is not the secret's
  pyzmq_peer.py request URL SERVER_CERT CLIENT_CERT MESSAGE TIMEOUT_MS
                                       one request; exit 0 on a reply, 1 on
                                       none in time (SERVER_CERT "-": clear
                                       text, CLIENT_CERT "-": a fresh key pair)
  pyzmq_peer.py serve URL SECRET_CERT  a CURVE reply socket that admits every
                                       key; prints the bound endpoint
  pyzmq_peer.py subscribe URL TOPIC    prints the data of each message, one
                                       a line, until stopped
  pyzmq_peer.py hold URL               a server that never answers: prints
                                       each request, one a line
"""
import sys

import zmq
import zmq.auth


def curve_client(socket, server_cert, client_cert):
    if server_cert == "-":
        return
    socket.curve_serverkey = zmq.auth.load_certificate(server_cert)[0]
    if client_cert == "-":
        public, secret = zmq.curve_keypair()
    else:
        public, secret = zmq.auth.load_certificate(client_cert)
    socket.curve_publickey = public
    socket.curve_secretkey = secret


def main(args):
    context = zmq.Context.instance()
    command = args[0]
    if command == "create":
        zmq.auth.create_certificates(args[1], args[2])
        return 0
    if command == "check":
        public, secret = zmq.auth.load_certificate(args[1])
        return 0 if secret and zmq.curve_public(secret) == public else 1
    if command == "request":
        url, server_cert, client_cert, message, timeout_ms = args[1:6]
        socket = context.socket(zmq.REQ)
        socket.linger = 0
        curve_client(socket, server_cert, client_cert)
        socket.connect(url)
        socket.send(message.encode())
        return 0 if socket.poll(int(timeout_ms)) else 1
    if command == "serve":
        socket = context.socket(zmq.REP)
        socket.curve_server = True
        socket.curve_secretkey = zmq.auth.load_certificate(args[2])[1]
        socket.bind(args[1])
        print(socket.last_endpoint.decode(), flush=True)
        while True:
            socket.recv()
            socket.send(b"ok\0")  # the acknowledgement of the library's reply socket
    if command == "hold":
        socket = context.socket(zmq.ROUTER)
        socket.bind(args[1])
        while True:
            print(socket.recv_multipart()[-1].decode(errors="replace"), flush=True)
    if command == "subscribe":
        socket = context.socket(zmq.SUB)
        socket.subscribe(args[2].encode())
        socket.connect(args[1])
        while True:
            data = socket.recv_multipart()[-1]
            # A publish socket of the library ends its data with a zero byte.
            print(data.rstrip(b"\0").decode(errors="replace"), flush=True)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
