/* A responder that speaks just enough SMTP and POP3 for the load clients and does nothing
 * else: it stores nothing, reads no file and logs nothing. What the clients reach against it
 * is the most any server could reach with them on this machine (their own work and the
 * kernel's), the floor under every figure of the table.
 *
 *     floor <smtp port> <pop3 port> [<size> <messages>]     (loopback only; stopped with SIGTERM)
 *
 * RETR n answers a message of `size` bytes (1 KB if not given), TOP n k its header and k lines,
 * LIST `messages` of that size (none if not given); DELE, USER, PASS, NOOP and every SMTP command
 * but DATA and QUIT answer a plain OK. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

enum { MaxConns = 4096, BufSize = 1 << 20 };

struct conn {
    int fd, smtp, data;
    size_t have;
    char* buf;
};

static struct conn conns[MaxConns];
static struct pollfd fds[MaxConns + 2];
static char *message, *list;   /* RETR's reply, LIST's */
static size_t message_len, list_len, body_at;   /* body_at: where the message's body starts */

static int listen_on(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, (struct sockaddr*)&a, sizeof a) || listen(fd, 4096)) {
        perror("floor: listen");
        exit(1);
    }
    return fd;
}

static void say(int fd, const char* text, size_t n)
{
    while (n > 0) {   /* replies are small: a blocking write is good enough */
        ssize_t k = write(fd, text, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return;
        text += k;
        n -= (size_t)k;
    }
}

#define SAY(fd, s) say(fd, s, sizeof s - 1)

/* The header, the blank line and the first k lines of the body ("TOP n k"). */
static void top(int fd, const char* args, const char* eol)
{
    const char* space = memchr(args, ' ', (size_t)(eol - args));
    long k = space ? strtol(space, NULL, 10) : 0;   /* the line ends with CR: strtol stops there */
    const char* at = message + body_at;
    const char* stop = message + message_len - 3;
    while (k-- > 0 && at < stop)
        at = (const char*)memchr(at, '\n', (size_t)(stop - at)) + 1;
    const char* from = strchr(message, '\n') + 1;   /* after RETR's +OK line */
    /* one write: three would wake the client three times */
    struct iovec parts[] = {{"+OK\r\n", 5}, {(void*)from, (size_t)(at - from)}, {".\r\n", 3}};
    if (writev(fd, parts, 3) < 0)
        return;   /* the client is gone: its read ends the connection */
}

/* A message of exactly `size` bytes in CR LF lines, as the load clients' own: RETR's reply. */
static void make(long size, long messages)
{
    const char head[] = "From: floor@bench.client\r\nSubject: floor\r\n\r\n";
    message = malloc((size_t)size + 64);
    int n = sprintf(message, "+OK %ld octets\r\n", size);
    body_at = (size_t)n + sizeof head - 1;
    memcpy(message + n, head, sizeof head - 1);
    char* p = message + body_at;
    char* end = message + n + size;
    while (end - p >= 80) {
        for (int i = 0; i < 78; i++)
            *p++ = (char)('a' + i % 26);
        *p++ = '\r';
        *p++ = '\n';
    }
    if (end - p == 1) {   /* a lone LF would not be a line: the last line one longer */
        p[-2] = 'x';
        p[-1] = '\r';
        *p++ = '\n';
    } else if (end - p >= 2) {
        memset(p, 'y', (size_t)(end - p - 2));
        memcpy(end - 2, "\r\n", 2);
    }
    memcpy(end, ".\r\n", 3);
    message_len = (size_t)(end + 3 - message);
    list = malloc(32 + 24 * (size_t)messages);
    list_len = (size_t)sprintf(list, "+OK %ld messages\r\n", messages);
    for (long i = 1; i <= messages; i++)
        list_len += (size_t)sprintf(list + list_len, "%ld %ld\r\n", i, size);
    list_len += (size_t)sprintf(list + list_len, ".\r\n");
}

/* Answers every whole line (or whole message) in the buffer; 1 once the client said QUIT. */
static int answer(struct conn* c)
{
    char* p = c->buf;
    char* end = c->buf + c->have;
    int quit = 0;
    for (;;) {
        char* eol;
        if (c->data) {
            eol = memmem(p, (size_t)(end - p), "\r\n.\r\n", 5);
            if (!eol)
                break;
            p = eol + 5;
            c->data = 0;
            SAY(c->fd, "250 OK\r\n");
            continue;
        }
        eol = memmem(p, (size_t)(end - p), "\r\n", 2);
        if (!eol)
            break;
        if (c->smtp) {
            if (!strncasecmp(p, "EHLO", 4))
                SAY(c->fd, "250-floor\r\n250 8BITMIME\r\n");
            else if (!strncasecmp(p, "DATA", 4)) {
                SAY(c->fd, "354 go on\r\n");
                c->data = 1;
                eol -= 2;   /* the end of data may follow at once: "\r\n.\r\n" from this line's end */
            } else if (!strncasecmp(p, "QUIT", 4)) {
                SAY(c->fd, "221 bye\r\n");
                quit = 1;
            } else
                SAY(c->fd, "250 OK\r\n");
        } else {
            if (!strncasecmp(p, "RETR", 4))
                say(c->fd, message, message_len);
            else if (!strncasecmp(p, "TOP ", 4))
                top(c->fd, p + 4, eol);
            else if (!strncasecmp(p, "LIST", 4))
                say(c->fd, list, list_len);
            else if (!strncasecmp(p, "QUIT", 4)) {
                SAY(c->fd, "+OK bye\r\n");
                quit = 1;
            } else
                SAY(c->fd, "+OK\r\n");
        }
        p = eol + 2;
    }
    c->have = (size_t)(end - p);
    memmove(c->buf, p, c->have);
    return quit;
}

int main(int argc, char** argv)
{
    long size = argc == 5 ? atol(argv[3]) : 1024, messages = argc == 5 ? atol(argv[4]) : 0;
    if ((argc != 3 && argc != 5) || size < 64 || messages < 0) {
        fprintf(stderr, "usage: floor <smtp port> <pop3 port> [<size> <messages>]\n");
        return 2;
    }
    make(size, messages);
    fds[0].fd = listen_on(atoi(argv[1]));
    fds[1].fd = listen_on(atoi(argv[2]));
    fds[0].events = fds[1].events = POLLIN;
    int count = 0;   /* connections, at fds[2 ..] and conns[0 ..] */
    for (;;) {
        if (poll(fds, (nfds_t)count + 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        for (int l = 0; l < 2; l++) {
            if (!(fds[l].revents & POLLIN))
                continue;
            int fd = accept(fds[l].fd, NULL, NULL), one = 1;
            if (fd < 0)
                continue;
            if (count == MaxConns) {
                close(fd);
                continue;
            }
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            conns[count] = (struct conn){fd, l == 0, 0, 0, malloc(BufSize)};
            fds[count + 2] = (struct pollfd){fd, POLLIN, 0};
            count++;
            if (l == 0)
                SAY(fd, "220 floor ESMTP\r\n");
            else
                SAY(fd, "+OK floor POP3\r\n");
        }
        for (int i = 0; i < count; i++) {
            if (!fds[i + 2].revents)
                continue;
            struct conn* c = &conns[i];
            ssize_t k = read(c->fd, c->buf + c->have, BufSize - c->have);
            if (k > 0)
                c->have += (size_t)k;
            if (k <= 0 || answer(c) || c->have == BufSize) {
                close(c->fd);
                free(c->buf);
                count--;
                conns[i] = conns[count];
                fds[i + 2] = fds[count + 2];
                fds[i + 2].revents = 0;   /* the moved one is looked at in the next round */
                i--;
            }
        }
    }
}
