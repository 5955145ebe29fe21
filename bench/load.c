/* A load client in C for the rows where the Python clients, not the servers, set the pace: one
 * blocking connection, one command at a time, every reply checked as the Python clients check it,
 * at a cost of a few system calls and a scan of the bytes a reply. It prints the count and the
 * seconds of the timed part on one line; on any reply it did not expect it says which and exits 1.
 *
 *     load <port> <user> <password> pop3-retr <messages> [<passes>]
 *     load <port> <user> <password> pop3-top <messages> <lines> <passes>
 *     load <port> <user> <password> imap-envelope <messages> <size> <passes>
 *     load <port> <user> <password> imap-body <messages> <size>
 *
 * pop3-retr: LIST, then RETR 1..n (`passes` times, once if not given), each message's
 * dot-terminated body read to its end and its size (dots unstuffed) compared with LIST's. pop3-top: TOP i lines for i = 1..n, `passes` times,
 * each with the header, the blank line and exactly `lines` lines. imap-envelope: SELECT INBOX
 * (n EXISTS), then FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE) `passes` times, one FETCH response
 * a message in order, each with RFC822.SIZE `size`. imap-body: FETCH i BODY[] for i = 1..n, one
 * command at a time, each answered with one literal of `size` bytes. Loopback only. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { BufSize = 1 << 20 };
static const double SpinSeconds = 200e-6;

/* Every reply goes through this one buffer: bytes [beg, end) are read and not yet taken. A line
 * handed out points into it and stays valid until the next read. */
static char buf[BufSize];
static size_t beg, end;
static int fd;
static char command[256] = "greeting";   /* the command whose reply is read, for the failure */

static void fail(const char* what, const char* p, size_t n)
{
    fprintf(stderr, "load: %s: %s: \"%.*s\"\n", command, what, (int)(n > 300 ? 300 : n), p);
    exit(1);
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void fill(void)
{
    if (beg == end)
        beg = end = 0;
    else if (BufSize - end < BufSize / 4) {   /* what is left is a part line: cheap to move */
        if (beg == 0)
            fail("a line longer than the buffer", buf, 80);
        memmove(buf, buf + beg, end - beg);
        end -= beg;
        beg = 0;
    }
    /* The client looks again and again for SpinSeconds before it sleeps: on this machine (a VM)
     * a core gone idle takes tens of microseconds to wake, and a client that slept the moment it
     * had sent a command would pay that on every round trip, where a Python client, still busy,
     * does not. It then reads as any blocking client does. */
    ssize_t k;
    double until = 0;
    for (;;) {
        k = recv(fd, buf + end, BufSize - end, MSG_DONTWAIT);
        if (k >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
        sched_yield();   /* a server or peer waiting for this core goes first */
        if (until == 0)
            until = now() + SpinSeconds;
        else if (now() > until) {
            do
                k = read(fd, buf + end, BufSize - end);
            while (k < 0 && errno == EINTR);
            break;
        }
    }
    if (k == 0)
        fail("connection closed by the server", buf + beg, end - beg);
    if (k < 0)
        fail(errno == EAGAIN ? "no answer in 30 s" : strerror(errno), buf + beg, end - beg);
    end += (size_t)k;
}

/* The next line without its CR LF. */
static char* line(size_t* n)
{
    size_t scanned = 0;
    for (;;) {
        char* nl = memchr(buf + beg + scanned, '\n', end - beg - scanned);
        if (nl) {
            char* p = buf + beg;
            size_t len = (size_t)(nl - p);
            beg += len + 1;
            if (len == 0 || p[len - 1] != '\r')
                fail("a line not ended by CR LF", p, len);
            *n = len - 1;
            return p;
        }
        scanned = end - beg;
        fill();
    }
}

/* Takes n bytes of a literal as they come, looking at none of them. */
static void skip(size_t n)
{
    while (n > 0) {
        if (beg == end)
            fill();
        size_t take = end - beg < n ? end - beg : n;
        beg += take;
        n -= take;
    }
}

static void say(const char* fmt, ...)
{
    static char out[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, sizeof out, fmt, ap);
    va_end(ap);
    snprintf(command, sizeof command, "%.*s", n - 2, out);   /* named without its CR LF */
    for (const char* p = out; n > 0;) {
        ssize_t k = write(fd, p, (size_t)n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            fail(strerror(errno), "", 0);
        p += k;
        n -= (int)k;
    }
}

static int starts(const char* p, size_t n, const char* with)
{
    size_t k = strlen(with);
    return n >= k && memcmp(p, with, k) == 0;
}

static long number(const char* p, size_t n, size_t* used)
{
    long v = 0;
    size_t i = 0;
    for (; i < n && i < 18 && p[i] >= '0' && p[i] <= '9'; i++)
        v = v * 10 + (p[i] - '0');
    *used = i;
    return i ? v : -1;
}

/* --- POP3 ----------------------------------------------------------------------------- */

static void pop_ok(void)
{
    size_t n;
    char* p = line(&n);
    if (!starts(p, n, "+OK"))
        fail("+OK expected", p, n);
}

/* A multi-line body after its +OK line, read to the dot line: its size with the dots that were
 * added before a line's own dot taken out. Only dots are looked at, so a body costs one memchr
 * over its bytes, whatever the size of its lines. */
static long dotted(void)
{
    long size = 0;
    int bol = 1;   /* the byte before buf + beg ended a line */
    for (;;) {
        char* p = buf + beg;
        char* e = buf + end;
        while (p < e) {
            char* d = memchr(p, '.', (size_t)(e - p));
            if (!d) {
                size += e - p;
                bol = e[-1] == '\n';
                p = e;
                break;
            }
            if (!(d > p ? d[-1] == '\n' : bol)) {
                size += d + 1 - p;
                bol = 0;
                p = d + 1;
                continue;
            }
            size += d - p;
            if (e - d < 3) {   /* a dot at a line's start: the two bytes after it tell what it is */
                bol = 1;
                p = d;
                break;
            }
            if (d[1] == '\r' && d[2] == '\n') {
                beg = (size_t)(d + 3 - buf);
                return size;
            }
            bol = 0;   /* a stuffed dot: not counted */
            p = d + 1;
        }
        beg = (size_t)(p - buf);
        fill();
    }
}

static long* pop_list(long count)
{
    say("LIST\r\n");
    pop_ok();
    long* sizes = calloc((size_t)count + 1, sizeof *sizes);
    long have = 0;
    for (;;) {
        size_t n, used;
        char* p = line(&n);
        if (n == 1 && p[0] == '.')
            break;
        long i = number(p, n, &used);
        char* s = memchr(p, ' ', n);
        long size = s ? number(s + 1, n - (size_t)(s + 1 - p), &used) : -1;
        if (i != have + 1 || i > count || size < 0)
            fail("LIST line out of place", p, n);
        sizes[have++] = size;
    }
    if (have != count) {
        char what[80];
        snprintf(what, sizeof what, "LIST shows %ld messages, %ld were placed", have, count);
        fail(what, "", 0);
    }
    return sizes;
}

static double pop_retr(long count, long passes)
{
    long* sizes = pop_list(count);
    double t0 = now();
    for (long j = 0; j < count * passes; j++) {
        long i = j % count + 1;
        say("RETR %ld\r\n", i);
        pop_ok();
        long size = dotted();
        if (size != sizes[i - 1]) {
            char what[80];
            snprintf(what, sizeof what, "%ld bytes, LIST said %ld", size, sizes[i - 1]);
            fail(what, "", 0);
        }
    }
    double t1 = now();
    free(sizes);
    return t1 - t0;
}

static double pop_top(long count, long lines, long passes)
{
    free(pop_list(count));
    double t0 = now();
    for (long pass = 0; pass < passes; pass++)
        for (long i = 1; i <= count; i++) {
            say("TOP %ld %ld\r\n", i, lines);
            pop_ok();
            long got = 0, body = -1;
            for (;;) {
                size_t n;
                char* p = line(&n);
                if (n == 1 && p[0] == '.')
                    break;
                got++;
                if (body < 0 && n == 0)
                    body = got;
            }
            if (body < 0 || got - body != lines) {
                char what[80];
                snprintf(what, sizeof what, "%ld lines, the body from line %ld", got, body);
                fail(what, "", 0);
            }
        }
    return now() - t0;
}

/* --- IMAP ----------------------------------------------------------------------------- */

static int tag;
static char tagged[16];
static size_t tagged_len;

static void imap_say(const char* text)
{
    tag++;
    tagged_len = (size_t)snprintf(tagged, sizeof tagged, "a%d ", tag);
    say("a%d %s\r\n", tag, text);
}

/* A tagged line checked for OK: 1; an untagged one: 0. */
static int done(const char* p, size_t n)
{
    if (!starts(p, n, tagged))
        return 0;
    if (!starts(p + tagged_len, n - tagged_len, "OK"))
        fail("tagged OK expected", p, n);
    return 1;
}

/* The size of the literal a line ends with ({n} or ~{n}), or -1. */
static long literal(const char* p, size_t n)
{
    if (n < 3 || p[n - 1] != '}')
        return -1;
    size_t i = n - 1;
    while (i > 0 && p[i - 1] >= '0' && p[i - 1] <= '9')
        i--;
    size_t used;
    return i > 0 && p[i - 1] == '{' ? number(p + i, n - 1 - i, &used) : -1;
}

/* Reads to the tagged OK, literals taken unread; `want` must start one untagged line. */
static void imap_simple(const char* want)
{
    int seen = want == NULL;
    for (;;) {
        size_t n;
        char* p = line(&n);
        if (done(p, n))
            break;
        if (want && starts(p, n, want))
            seen = 1;
        for (long k; (k = literal(p, n)) >= 0;) {
            skip((size_t)k);
            p = line(&n);
        }
    }
    if (!seen)
        fail("no such response", want, strlen(want));
}

/* "* <seq> FETCH (": seq, or -1 for any other response. */
static long fetch_of(const char* p, size_t n)
{
    size_t used;
    if (!starts(p, n, "* "))
        return -1;
    long seq = number(p + 2, n - 2, &used);
    return seq > 0 && starts(p + 2 + used, n - 2 - used, " FETCH (") ? seq : -1;
}

static double imap_envelope(long count, long size, long passes)
{
    char sized[40];
    int sized_len = snprintf(sized, sizeof sized, "RFC822.SIZE %ld", size);
    double t0 = now();
    for (long pass = 0; pass < passes; pass++) {
        imap_say("FETCH 1:* (UID FLAGS RFC822.SIZE ENVELOPE)");
        long good = 0;
        for (;;) {
            size_t n;
            char* p = line(&n);
            if (done(p, n))
                break;
            long seq = fetch_of(p, n);
            if (seq >= 0 && seq != good + 1)
                fail("FETCH response out of order", p, n);
            int has = 0;
            for (;;) {   /* the line, and each part after a literal */
                char* s = memmem(p, n, sized, (size_t)sized_len);
                has |= s && (s + sized_len == p + n || s[sized_len] < '0' || s[sized_len] > '9');
                long k = literal(p, n);
                if (k < 0)
                    break;
                skip((size_t)k);
                p = line(&n);
            }
            if (seq >= 0 && !has)
                fail("FETCH response without the message's RFC822.SIZE", sized, (size_t)sized_len);
            good += seq >= 0;
        }
        if (good != count) {
            char what[80];
            snprintf(what, sizeof what, "%ld FETCH responses for %ld messages", good, count);
            fail(what, "", 0);
        }
    }
    return now() - t0;
}

static double imap_body(long count, long size)
{
    double t0 = now();
    for (long i = 1; i <= count; i++) {
        char text[40];
        snprintf(text, sizeof text, "FETCH %ld BODY[]", i);
        imap_say(text);
        long bodies = 0;
        for (;;) {
            size_t n;
            char* p = line(&n);
            if (done(p, n))
                break;
            long seq = fetch_of(p, n), literals = 0, k;
            while ((k = literal(p, n)) >= 0) {
                if (seq == i && k != size) {
                    char what[80];
                    snprintf(what, sizeof what, "a literal of %ld bytes, %ld stored", k, size);
                    fail(what, p, n);
                }
                literals++;
                skip((size_t)k);
                p = line(&n);
            }
            if (seq >= 0 && seq != i && literals)
                fail("a body of another message", p, n);
            if (seq == i && literals > 1)
                fail("more than one literal", p, n);
            bodies += seq == i && literals;
        }
        if (bodies != 1) {
            char what[80];
            snprintf(what, sizeof what, "%ld bodies", bodies);
            fail(what, "", 0);
        }
    }
    return now() - t0;
}

/* --- the session ---------------------------------------------------------------------- */

static void usage(void)
{
    fprintf(stderr, "usage: load <port> <user> <password> pop3-retr <messages> [<passes>]\n"
                    "       load <port> <user> <password> pop3-top <messages> <lines> <passes>\n"
                    "       load <port> <user> <password> imap-envelope <messages> <size> <passes>\n"
                    "       load <port> <user> <password> imap-body <messages> <size>\n");
    exit(2);
}

static long arg(int argc, char** argv, int i)
{
    char* e;
    long v = i < argc ? strtol(argv[i], &e, 10) : -1;
    if (i >= argc || *e || v < 1)
        usage();
    return v;
}

int main(int argc, char** argv)
{
    if (argc < 6)
        usage();
    const char *user = argv[2], *password = argv[3], *mode = argv[4];
    long count = arg(argc, argv, 5);
    int pop3 = strncmp(mode, "pop3-", 5) == 0;
    signal(SIGPIPE, SIG_IGN);   /* a server that closes early is reported, not a silent death */

    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)arg(argc, argv, 1));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    struct timeval limit = {30, 0};
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a)) {
        perror("load: connect");
        return 1;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);   /* as mail clients send */
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    double secs;
    long done_count = count;
    char text[300];
    if (pop3) {
        pop_ok();
        say("USER %s\r\n", user);
        pop_ok();
        say("PASS %s\r\n", password);
        pop_ok();
        if (!strcmp(mode, "pop3-retr") && (argc == 6 || argc == 7)) {
            long passes = argc == 7 ? arg(argc, argv, 6) : 1;
            secs = pop_retr(count, passes);
            done_count = count * passes;
        } else if (!strcmp(mode, "pop3-top") && argc == 8) {
            long passes = arg(argc, argv, 7);
            secs = pop_top(count, arg(argc, argv, 6), passes);
            done_count = count * passes;
        } else
            usage();
        say("QUIT\r\n");
        pop_ok();
    } else {
        size_t n;
        char* p = line(&n);
        if (!starts(p, n, "* OK"))
            fail("* OK expected", p, n);
        snprintf(text, sizeof text, "LOGIN %s %s", user, password);
        imap_say(text);
        imap_simple(NULL);
        imap_say("SELECT INBOX");
        snprintf(text, sizeof text, "* %ld EXISTS", count);
        imap_simple(text);
        if (!strcmp(mode, "imap-envelope") && argc == 8) {
            long passes = arg(argc, argv, 7);
            secs = imap_envelope(count, arg(argc, argv, 6), passes);
            done_count = count * passes;
        } else if (!strcmp(mode, "imap-body") && argc == 7)
            secs = imap_body(count, arg(argc, argv, 6));
        else
            usage();
        imap_say("LOGOUT");
        imap_simple("* BYE");
    }
    close(fd);
    printf("%ld %.6f\n", done_count, secs);
    return 0;
}
