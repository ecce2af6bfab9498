#!/usr/bin/python3
# libtorrent DHT nodes for the DHT interoperation test, on 127.0.0.1 only, with
# local discovery and port mapping off, no bootstrap beyond the given node and
# the loopback restrictions of its DHT relaxed.
#   libtorrent_dht.py router PORT
#       a DHT node that only routes; prints "listening PORT", then
#       "announce IP PORT" for every announce it stores and
#       "nodes IP:PORT ..." whenever its routing table changes.
#   libtorrent_dht.py seed TORRENT FOLDER PORT ROUTER_PORT
#       seeds FOLDER and announces it to the DHT (again every 2 s); prints
#       "listening PORT" once seeding.
import socket
import struct
import sys
import time

import libtorrent as lt


def session(port, bootstrap):
    return lt.session({
        'listen_interfaces': '127.0.0.1:%d' % port,
        'enable_dht': True,
        'enable_lsd': False,
        'enable_upnp': False,
        'enable_natpmp': False,
        'enable_incoming_utp': False,
        'enable_outgoing_utp': False,
        'allow_multiple_connections_per_ip': True,
        'out_enc_policy': 2,
        'in_enc_policy': 2,
        'dht_bootstrap_nodes': bootstrap,
        'dht_restrict_routing_ips': False,
        'dht_restrict_search_ips': False,
        'dht_prefer_verified_node_ids': False,
        'dht_ignore_dark_internet': False,
        'alert_mask': lt.alert.category_t.dht_notification,
    })


def routing_table(s):
    state = s.save_state()
    nodes = state.get(b'dht state', {}).get(b'nodes', [])
    out = []
    for n in nodes:
        if len(n) == 6:
            out.append('%s:%d' % (socket.inet_ntoa(n[:4]), struct.unpack('>H', n[4:])[0]))
    return ' '.join(sorted(out))


def router(port):
    s = session(port, '')
    print('listening %d' % port, flush=True)
    last = None
    while True:
        for a in s.pop_alerts():
            if isinstance(a, lt.dht_announce_alert):
                print('announce %s %d' % (a.ip, a.port), flush=True)
        table = routing_table(s)
        if table != last:
            print('nodes %s' % table, flush=True)
            last = table
        time.sleep(0.2)


def seed(torrent, folder, port, router_port):
    s = session(port, '127.0.0.1:%d' % router_port)
    params = lt.add_torrent_params()
    params.ti = lt.torrent_info(torrent)
    params.save_path = folder
    handle = s.add_torrent(params)
    while not handle.status().is_seeding:
        time.sleep(0.05)
    print('listening %d' % s.listen_port(), flush=True)
    while True:
        handle.force_dht_announce()
        time.sleep(2)


def main():
    if sys.argv[1] == 'router':
        router(int(sys.argv[2]))
    else:
        seed(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    return 0


if __name__ == '__main__':
    sys.exit(main())
