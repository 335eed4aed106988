// SPDX-License-Identifier: MIT
// The baseline of the piped-stream benchmark (bench/pipe_bench.py): the
// leanest raw libzmq programs that move standard input's lines as the tool
// does, written as plain C. Each prints the same bytes as the vorzmq command
// it stands for, for a line without control characters.
//   raw_pipe pub URL TOPIC   getline, then the topic frame ("TOPIC$") and the
//                            data frame (the line and a zero byte); mark 0
//   raw_pipe sub URL TOPIC   zmq_msg_recv both frames, fwrite the data and a
//                            line feed, fflush when no message waits; mark 0
//   raw_pipe req URL         send each line, wait for the reply, print
//                            "acknowledged: LINE"
//   raw_pipe rep URL COUNT   print each request's line, then reply "ok" and
//                            a zero byte; COUNT requests
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <zmq.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: raw_pipe pub|sub|req|rep URL [TOPIC|COUNT]\n");
        return 2;
    }
    const char* mode = argv[1];
    void* context = zmq_ctx_new();
    const int kinds[] = {ZMQ_PUB, ZMQ_SUB, ZMQ_REQ, ZMQ_REP};
    const char* names[] = {"pub", "sub", "req", "rep"};
    int which = 0;
    while (which < 4 && strcmp(mode, names[which]) != 0) {
        ++which;
    }
    if (which == 4) {
        return 2;
    }
    void* socket = zmq_socket(context, kinds[which]);
    int zero = 0;
    zmq_setsockopt(socket, ZMQ_SNDHWM, &zero, sizeof zero);
    zmq_setsockopt(socket, ZMQ_RCVHWM, &zero, sizeof zero);
    int linger = -1;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    const int binds = which == 0 || which == 3;
    if ((binds ? zmq_bind(socket, argv[2]) : zmq_connect(socket, argv[2])) != 0) {
        fprintf(stderr, "raw_pipe: %s\n", zmq_strerror(zmq_errno()));
        return 1;
    }
    fprintf(stderr, "raw_pipe: %s ready\n", mode);
    char topic[256];
    snprintf(topic, sizeof topic, "%s$", argc > 3 ? argv[3] : "");
    char* line = NULL;
    size_t capacity = 0;
    ssize_t length;
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (which == 0) {
        while ((length = getline(&line, &capacity, stdin)) > 0) {
            if (line[length - 1] == '\n') {
                line[length - 1] = '\0';
            } else {
                line[length++] = '\0';  // getline leaves room for its terminator
            }
            zmq_send(socket, topic, strlen(topic), ZMQ_SNDMORE);
            zmq_send(socket, line, (size_t)length, 0);
        }
    } else if (which == 1) {
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, topic, strlen(topic));
        for (;;) {
            // Printed lines are written when no message is waiting, so
            // that a lone message shows at once.
            if (zmq_msg_recv(&message, socket, ZMQ_DONTWAIT) == -1) {
                fflush(stdout);
                zmq_msg_recv(&message, socket, 0);
            }
            zmq_msg_recv(&message, socket, 0);
            const size_t size = zmq_msg_size(&message);
            fwrite(zmq_msg_data(&message), 1, size > 0 ? size - 1 : 0, stdout);
            putchar('\n');
        }
    } else if (which == 2) {
        char reply[256];
        while ((length = getline(&line, &capacity, stdin)) > 0) {
            if (line[length - 1] == '\n') {
                --length;
            }
            zmq_send(socket, line, (size_t)length, 0);
            if (zmq_recv(socket, reply, sizeof reply, 0) != 3 || memcmp(reply, "ok", 3) != 0) {
                return 1;
            }
            fputs("acknowledged: ", stdout);
            fwrite(line, 1, (size_t)length, stdout);
            putchar('\n');
        }
    } else {
        for (long count = atol(argc > 3 ? argv[3] : "0"); count > 0; --count) {
            zmq_msg_recv(&message, socket, 0);
            fwrite(zmq_msg_data(&message), 1, zmq_msg_size(&message), stdout);
            putchar('\n');
            zmq_send(socket, "ok", 3, 0);
        }
    }
    zmq_msg_close(&message);
    free(line);
    fflush(stdout);
    zmq_close(socket);
    zmq_ctx_term(context);
    return 0;
}
