#!/usr/bin/python3
# A libtorrent peer for the interoperation tests, on 127.0.0.1 only, with
# DHT, local discovery, port mapping and uTP off; encryption off unless
# PORTICO_LT_ENCRYPTION is "rc4" or "plaintext", which forces stream
# encryption both ways with only that method allowed; the method of each
# connection is then printed once ("peer rc4" or "peer plaintext").
# PORTICO_LT_UPLOAD_LIMIT, when set, caps the upload in bytes per second.
#   libtorrent_peer.py seed TORRENT FOLDER PORT
#       seeds FOLDER until killed; prints "listening PORT" once it listens.
#   libtorrent_peer.py leech TORRENT FOLDER PORT PEER_PORT [SECONDS]
#       connects to 127.0.0.1:PEER_PORT, exits 0 once complete, 1 on time-out.
import os
import sys
import time

import libtorrent as lt


def session(port):
    settings = {
        'listen_interfaces': '127.0.0.1:%d' % port,
        'enable_dht': False,
        'enable_lsd': False,
        'enable_upnp': False,
        'enable_natpmp': False,
        'enable_incoming_utp': False,
        'enable_outgoing_utp': False,
        'allow_multiple_connections_per_ip': True,
        'out_enc_policy': 2,
        'in_enc_policy': 2,
        'dht_bootstrap_nodes': '',
        'alert_mask': 0,
    }
    forced = os.environ.get('PORTICO_LT_ENCRYPTION', '')
    if forced in ('rc4', 'plaintext'):
        settings['out_enc_policy'] = 0
        settings['in_enc_policy'] = 0
        settings['allowed_enc_level'] = 2 if forced == 'rc4' else 1
        settings['prefer_rc4'] = forced == 'rc4'
    s = lt.session(settings)
    # Peers on 127.0.0.1 are in the local class, which the global rate limit
    # leaves alone.
    for variable, key in (('PORTICO_LT_UPLOAD_LIMIT', 'upload_limit'),
                          ('PORTICO_LT_DOWNLOAD_LIMIT', 'download_limit')):
        limit = os.environ.get(variable, '')
        if not limit:
            continue
        for cid in (lt.session.global_peer_class_id, lt.session.local_peer_class_id):
            peer_class = s.get_peer_class(cid)
            peer_class[key] = int(limit)
            s.set_peer_class(cid, peer_class)
    return s


def report_methods(handle, seen):
    if not os.environ.get('PORTICO_LT_ENCRYPTION'):
        return
    for peer in handle.get_peer_info():
        if peer.flags & (lt.peer_info.handshake | lt.peer_info.connecting):
            continue
        if peer.flags & lt.peer_info.rc4_encrypted:
            method = 'rc4'
        elif peer.flags & lt.peer_info.plaintext_encrypted:
            method = 'plaintext'
        else:
            method = 'none'
        if method not in seen:
            seen.add(method)
            print('peer %s' % method, flush=True)


def main():
    mode, torrent, folder, port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    s = session(port)
    info = lt.torrent_info(torrent)
    params = lt.add_torrent_params()
    params.ti = info
    params.save_path = folder
    handle = s.add_torrent(params)
    if mode == 'seed':
        # Ready once the files are checked: earlier connections are refused.
        while not handle.status().is_seeding:
            time.sleep(0.05)
        print('listening %d' % s.listen_port(), flush=True)
        seen = set()
        while True:
            report_methods(handle, seen)
            time.sleep(0.2)
    print('listening %d' % s.listen_port(), flush=True)
    peer = int(sys.argv[5])
    limit = float(sys.argv[6]) if len(sys.argv) > 6 else 120.0
    end = time.time() + limit
    last = 0.0
    seen = set()
    while time.time() < end:
        report_methods(handle, seen)
        st = handle.status()
        if st.is_seeding:
            print('complete', flush=True)
            return 0
        if time.time() - last > 2.0:
            handle.connect_peer(('127.0.0.1', peer))
            last = time.time()
        time.sleep(0.05)
    print('timeout %s' % handle.status().state, flush=True)
    return 1


if __name__ == '__main__':
    sys.exit(main())
