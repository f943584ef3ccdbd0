#!/bin/sh
# net-snmp's agent as a controller with a display: a pass_persist helper that serves the two
# display blocks and records every key it is set.
#
#   snmpd.conf:  pass_persist .1.3.6.1.4.1.1206 /path/to/snmpd-display.sh DIR
#
# DIR holds first.hex and second.hex, each block's whole value as spaced hex on one line (read on
# every get, so a test may change the display); each key set is appended to DIR/keys as
# 'OID octet "0c"'. The exchange is PING/PONG, then get/getnext/set with the OID on the next line;
# values go out as octet hex so that their exact length survives. A set is followed by an empty
# line, and snmpd asks for the key OID with a get before it sends the set. Nothing may go to
# stderr: snmpd reads it through the same pipe.
dir=$1
while read -r cmd; do
    case "$cmd" in
        PING) echo PONG ;;
        get) read -r oid
            case "$oid" in
                .1.3.6.1.4.1.1206.3.5.2.17.12.1.2.1) read -r value < "$dir/first.hex"
                    echo "$oid"; echo octet; echo "$value" ;;
                .1.3.6.1.4.1.1206.3.5.2.17.12.1.2.2) read -r value < "$dir/second.hex"
                    echo "$oid"; echo octet; echo "$value" ;;
                .1.3.6.1.4.1.1206.3.5.2.17.10.0) echo "$oid"; echo octet; echo 00 ;;
                *) echo NONE ;;
            esac ;;
        getnext) read -r oid; echo NONE ;;
        set) read -r oid; read -r value
            echo "$oid $value" >> "$dir/keys"; echo DONE ;;
        *) ;;
    esac
done 2>/dev/null
