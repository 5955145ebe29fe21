#!/bin/sh
# Stand-in for GetMX.sh in unit tests: the answer depends on the domain. Every run is
# noted in runs.log in the working folder (the program folder).
domain=$1
pipe=$2
printf '%s\n' "$domain" >> runs.log
case "$domain" in
    ba.test) printf 'Server: 127.0.0.1\r\nba.test\tMX preference = 20, mail exchanger = B\r\nba.test\tMX preference = 10, mail exchanger = A\r\n' > "$pipe" ;;
    ab.test) printf 'ab.test\tMX preference = 10, mail exchanger = A\r\nab.test\tMX preference = 20, mail exchanger = B\r\n' > "$pipe" ;;
    blanks.test) printf 'MX preference = 7, mail exchanger = mx.blanks.test  \r\n' > "$pipe" ;;
    silent.test) : > "$pipe" ;;   # opens and closes the pipe, no record
    closed.test) exit 0 ;;        # never opens the pipe
    late.test) { sleep 1.5; printf 'late.test\tMX preference = 10, mail exchanger = mx.late.test\r\n'; } > "$pipe" ;;   # opens at once, writes later
    big.test)    # more than one read buffer, the last record split across two writes
        {
            for i in $(seq 1 120); do printf 'big.test\tMX preference = %d, mail exchanger = mx%d.big.test\r\n' "$i" "$i"; done
            printf 'big.test\tMX preference = 0, mail exch'
            sleep 0.3
            printf 'anger = last.big.test\r\n'
        } > "$pipe" ;;
    *) printf '%s\tMX preference = 10, mail exchanger = mx.%s\r\n' "$domain" "$domain" > "$pipe" ;;
esac
