#!/usr/bin/env bash
# Servers found by DNS SRV, in the lab: dnsmasq on the lab's server host publishes the records,
# and the client on c1 asks it (ip netns exec puts /etc/netns/NAME-c1/resolv.conf over
# /etc/resolv.conf, naming that dnsmasq).
#   srv_test.sh CASE GATEWISE_CLI GATEWISE_SERVER NATLAB
# stun: _stun._udp.gw.test names two gatewise-server instances, the priority-first one stopped;
#   gatewise-cli --stun gw.test says it had no answer there and reaches the second.
# settings: STUN.ini's STUN1_IP is pair.gw.test, a name with no address but _gatewise._udp
#   records naming Server1 (priority 10) and Server2 (priority 11); the check runs against them.
# Needs root, network namespaces, nftables, conntrack and dnsmasq (dnsmasq-base); exits 77
# (skipped) where they are missing. Every address is in 198.18.0.0/15 inside the lab's own
# namespaces.
set -uo pipefail
case_name=$1 cli=$2 server=$3 natlab=$4
. "$(dirname "$0")/../../scripts/lib.sh"

case $case_name in
stun | settings) ;;
*) echo "FAIL: unknown case $case_name"; exit 1 ;;
esac
dnsmasq=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)
if [ ! -x "$dnsmasq" ]; then
    echo "SKIP: dnsmasq is missing (apt-get install dnsmasq-base)"
    exit 77
fi
if ! "$cli" --help | grep -q '_stun._udp'; then
    echo "SKIP: this gatewise-cli is built without SRV lookups (no c-ares)"
    exit 77
fi

name="d$$"
lab_session "$natlab" "$name"
netns_dir=/etc/netns/$name-c1
# lab_session's trap takes the lab down; the resolver file goes with it.
trap 'rm -rf "$netns_dir"; lab_cleanup' EXIT
lab_up "$case_name" none

# The DNS server on the server host's first address; its log in $work/dns.log.
records=(--host-record=a.gw.test,"$s1" --host-record=b.gw.test,"$s1"
    --host-record=s1.gw.test,"$s1" --host-record=s2.gw.test,"$s2"
    --srv-host=_stun._udp.gw.test,a.gw.test,3478,10,60
    --srv-host=_stun._udp.gw.test,b.gw.test,4478,20,0
    --srv-host=_gatewise._udp.pair.gw.test,s1.gw.test,34780,10,0
    --srv-host=_gatewise._udp.pair.gw.test,s2.gw.test,34790,11,0)
"$natlab" exec "$name" srv "$dnsmasq" --no-daemon --no-resolv --no-hosts --conf-file=/dev/null \
    --port 53 --listen-address "$s1" --bind-interfaces --local=/gw.test/ --log-queries \
    --log-facility=- --user=root "${records[@]}" >"$work/dns.log" 2>&1 &
pids+=($!)
mkdir -p "$netns_dir"
echo "nameserver $s1" >"$netns_dir/resolv.conf"
"$natlab" listening "$name" srv 53 || { bad "dnsmasq is listening"; cat "$work/dns.log"; finish; }

if [ "$case_name" = stun ]; then
    # Two STUN server pairs on the server host: the first (a.gw.test:3478) stopped again once up.
    lab_pair "$natlab" "$name" "$server" "$s1" "$s2" 3478 "$work" one || { bad "pair A is up"; finish; }
    first=${pids[-1]}
    mkdir -p "$work/b"
    lab_pair "$natlab" "$name" "$server" "$s1" "$s2" 4478 "$work/b" one || { bad "pair B is up"; finish; }
    kill "$first" && wait "$first" 2>/dev/null
    # 20 s bounds a run that hangs; with a 50 ms RTO the silent server costs under a second.
    timeout 20 "$natlab" exec "$name" c1 "$cli" --stun gw.test --stun-rto-ms 50 --json \
        >"$work/out" 2>"$work/err"
    rc=$?
    expect "--stun gw.test exits 0 (got $rc)" [ "$rc" = 0 ]
    expect "the log names the first record" \
        grep -qx 'Using _stun._udp.gw.test: 10 60 3478 a.gw.test' "$work/out"
    expect "the log says the first server did not answer" \
        grep -qx 'No answer from a.gw.test; trying the next record of _stun._udp.gw.test' "$work/out"
    expect "the log names the second record" \
        grep -qx 'Using _stun._udp.gw.test: 20 0 4478 b.gw.test' "$work/out"
    expect_json "the second server" "$work/out" status=finished address="$s1"
    expect "the JSON names port 4478" grep -q '"server":{"address":"'"$s1"'","port":4478' "$work/out"
else
    write_settings "$work/STUN.ini" pair.gw.test 1 0.0.0.0 1
    "$natlab" exec "$name" srv "$server" --server1 "$s1:34780" --server2 "$s2:34790" \
        >"$work/server.log" 2>&1 &
    pids+=($!)
    "$natlab" listening "$name" srv 34790 || { bad "gatewise-server is listening"; cat "$work/server.log"; finish; }
    timeout 60 "$natlab" exec "$name" c1 "$cli" --config "$work/STUN.ini" --tick-ms 100 --json \
        >"$work/raw" 2>"$work/err"
    rc=$?
    tr -d '\r' <"$work/raw" >"$work/out"
    expect "the check exits 0 (got $rc)" [ "$rc" = 0 ]
    expect "the log names the pair's records" grep -qx \
        'Using _gatewise._udp.pair.gw.test: Server1 10 0 34780 s1.gw.test, Server2 11 0 34790 s2.gw.test' \
        "$work/out"
    expect "the check used Server1 of the records" \
        grep -q "STUN Server1 IP address: $s1 *Port: *34780" "$work/out"
    expect "the summary is the open network's" grep -q 'NAT INCOMING PACKAGES FILTER :    OPEN' "$work/out"
fi
if [ "$failed" != 0 ]; then
    for f in out err dns.log; do echo "---- $f ----"; cat "$work/$f" 2>/dev/null; done
fi
finish
