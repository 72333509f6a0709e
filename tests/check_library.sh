#!/bin/sh
# Checks the built library's dynamic section and symbol table:
# - it needs only the system runtime (libusb-1.0 and libwlt come from the
#   program that loads it);
# - its SONAME carries the ABI version;
# - it exports exactly the public interface.
set -u
lib=$1
fail=0
READELF=${READELF:-readelf}

needed=$($READELF -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo $needed)"
for n in $needed; do
    case $n in
        libstdc++.so.*|libm.so.*|libgcc_s.so.*|libc.so.*|ld-linux*.so.*) ;;
        libasan.so.*|libubsan.so.*) ;; # sanitizer builds only
        *) echo "unexpected needed library: $n"; fail=1 ;;
    esac
done

soname=$($READELF -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
echo "SONAME: $soname"
case $soname in
    libscanid.so.[0-9]*) ;;
    *) echo "unexpected SONAME: '$soname'"; fail=1 ;;
esac

# Defined dynamic symbols with default visibility, names only.
exported=$($READELF --dyn-syms -W "$lib" | awk '$7 != "UND" && $7 != "ABS" && ($5 == "GLOBAL" || $5 == "WEAK") && $6 == "DEFAULT" { print $8 }' | sed 's/@.*//' | sort -u)
expected="CARD_SetReadInfoCB
CancelReadIDCard
GetScanIdVersion
GetScanIdVersionString
ReadIDCardEx
ReadIDCardLib
SaveImage
SetComInfo
SetServiceInfo
g_IdCardMain
g_OnecOpen
scanid_cancel
scanid_close
scanid_free_list
scanid_hotplug_deregister
scanid_hotplug_register
scanid_layout
scanid_list_usb
scanid_open
scanid_read
scanid_read_ex
scanid_reader_name
scanid_set_console_cb
scanid_set_event_cb
scanid_set_server
scanid_set_standby
scanid_wait_removal"
if [ "$exported" != "$expected" ]; then
    echo "exported symbols differ from the public interface:"
    echo "  expected: $(echo $expected)"
    echo "  found:    $(echo $exported)"
    fail=1
fi

# Each symbol in the version node it first appeared in: a program built
# against an older interface keeps finding what it linked.
versions=$($READELF --dyn-syms -W "$lib" | awk '$7 != "UND" && $6 == "DEFAULT" && $8 ~ /@/ { print $8 }' | sort -u)
for want in CARD_SetReadInfoCB@@SCANID_1 ReadIDCardLib@@SCANID_1 SaveImage@@SCANID_1 SetComInfo@@SCANID_1 \
            SetServiceInfo@@SCANID_1 g_IdCardMain@@SCANID_1 g_OnecOpen@@SCANID_1 CancelReadIDCard@@SCANID_1.1 \
            ReadIDCardEx@@SCANID_1.2 GetScanIdVersion@@SCANID_1.2 GetScanIdVersionString@@SCANID_1.2 \
            scanid_cancel@@SCANID_1.3 scanid_close@@SCANID_1.3 scanid_free_list@@SCANID_1.3 \
            scanid_hotplug_deregister@@SCANID_1.3 scanid_hotplug_register@@SCANID_1.3 \
            scanid_list_usb@@SCANID_1.3 scanid_open@@SCANID_1.3 scanid_read@@SCANID_1.3 \
            scanid_read_ex@@SCANID_1.3 scanid_reader_name@@SCANID_1.3 scanid_set_console_cb@@SCANID_1.3 \
            scanid_set_event_cb@@SCANID_1.3 scanid_set_server@@SCANID_1.3 scanid_set_standby@@SCANID_1.3 \
            scanid_wait_removal@@SCANID_1.3 scanid_layout@@SCANID_1.4; do
    echo "$versions" | grep -qx "$want" || { echo "symbol not in its version node: $want"; fail=1; }
done

# The reader object is exported as data: a program may hold a copy of it
# made at link time, so its size must never change.
class=$($READELF -h "$lib" | sed -n 's/.*Class: *//p')
case $class in ELF32) want_size=2480 ;; *) want_size=2512 ;; esac
size=$($READELF --dyn-syms -W "$lib" | awk '$8 ~ /^g_IdCardMain@/ { print $3; exit }')
[ "$size" = "$want_size" ] || { echo "g_IdCardMain is $size bytes, not $want_size"; fail=1; }

undefined=$($READELF --dyn-syms -W "$lib" | awk '$7 == "UND" { print $8 }' | sed 's/@.*//')
echo "$undefined" | grep -q '^saveWlt2Bmp$' || { echo "saveWlt2Bmp is not left to the program"; fail=1; }
echo "$undefined" | grep -q '^libusb_' || { echo "no libusb symbol is left to the program"; fail=1; }

[ $fail -eq 0 ] && echo "library interface OK"
exit $fail
