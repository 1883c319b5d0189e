#!/usr/bin/python3
"""Independent SMS PDU codec for the codec tests, backed by python3-gammu.

Reads one request per line on stdin, writes one answer line per request on
stdout. Fields are tab-separated key=value pairs; texts travel as UTF-16 hex
(four digits per code unit) so that no character set gets in the way.

Requests:
  D <pdu>                 decode a PDU that starts with its service centre
  E key=value ...         encode one message (keys below), answer pdu=<hex>
  M key=value ...         cut a text into parts with gammu's own splitter and
                          encode each part, answer pdus=<hex>,<hex>,...
Keys for E and M: type (Submit|Deliver), number, smsc, text, coding
(Default_No_Compression|Unicode_No_Compression|8bit), class, validity (gammu
form: 4D, 12H, Max ...), udh (hex, the user-data header with its length
octet), mr, rd (TP-RD: 0|1), dt (YYYY-MM-DD HH:MM:SS), id (M:
ConcatenatedTextLong or ConcatenatedTextLong16bit), unicode (M: 0|1).
Any failure is answered with error=<text>; a missing gammu ends the program
with a non-zero status, so the caller fails instead of skipping.
"""
import datetime
import sys

import gammu  # noqa: E402  (an ImportError must end the program)


def u16hex(text):
    if isinstance(text, bytes):
        text = text.decode("latin-1")
    data = text.encode("utf-16-be")
    return data.hex().upper()


def from_u16hex(h):
    return bytes.fromhex(h).decode("utf-16-be", errors="surrogatepass")


def stamp(dt):
    return dt.strftime("%Y-%m-%d %H:%M:%S") if dt else ""


def decode(pdu):
    d = gammu.DecodePDU(bytes.fromhex(pdu), SMSC=True)
    udh = d["UDH"]
    text = d["Text"] or ""
    if d["Coding"] == "Default_No_Compression":
        # python-gammu hands out as many units as there were septets, so each
        # extension character leaves junk behind the text's terminating NUL.
        text = text.split("\0", 1)[0]
    fields = {
        "type": d["Type"],
        "number": u16hex(d["Number"]),
        "text": u16hex(text),
        "coding": d["Coding"],
        "udh": udh["Text"].hex().upper(),
        "udhtype": udh["Type"],
        "id8": udh["ID8bit"],
        "id16": udh["ID16bit"],
        "part": udh["PartNumber"],
        "all": udh["AllParts"],
        "class": d["Class"],
        "validity": d["SMSC"]["Validity"],
        "smsc": u16hex(d["SMSC"]["Number"]),
        "mr": d["MessageReference"],
        "status": d["DeliveryStatus"],
        "dt": stamp(d["DateTime"]),
        "sdt": stamp(d["SMSCDateTime"]),
    }
    return "\t".join(f"{k}={v}" for k, v in fields.items())


def message(args):
    text = from_u16hex(args.get("text", ""))
    coding = args.get("coding", "Default_No_Compression")
    # Start from a complete record of gammu's own and set what the request gives.
    msg = gammu.EncodeSMS({"Entries": [{"ID": "ConcatenatedTextLong", "Buffer": "x"}]})[0]
    msg.update({
        "Type": args.get("type", "Submit"),
        "Number": from_u16hex(args.get("number", "")),
        "SMSC": {"Location": 0, "Number": from_u16hex(args.get("smsc", "")),
                 "Validity": args.get("validity", "NA")},
        "Text": text.encode("latin-1") if coding == "8bit" else text,
        "Coding": coding,
        "Class": int(args.get("class", "-1")),
        "MessageReference": int(args.get("mr", "0")),
        "RejectDuplicates": int(args.get("rd", "0")),
        "UDH": {"Type": "NoUDH", "Text": b""},
    })
    if "udh" in args:
        msg["UDH"] = {"Type": "UserUDH", "Text": bytes.fromhex(args["udh"])}
    if "dt" in args:
        msg["DateTime"] = datetime.datetime.strptime(args["dt"], "%Y-%m-%d %H:%M:%S")
    return msg


def encode(args):
    msg = message(args)
    return "pdu=" + gammu.EncodePDU(msg, Layout=msg["Type"]).hex().upper()


def encode_parts(args):
    base = message(args)
    info = {"Class": base["Class"], "Unicode": args.get("unicode", "0") == "1",
            "Entries": [{"ID": args.get("id", "ConcatenatedTextLong"), "Buffer": base["Text"]}]}
    pdus = []
    for part in gammu.EncodeSMS(info):
        part.update(Type=base["Type"], Number=base["Number"], SMSC=base["SMSC"],
                    MessageReference=base["MessageReference"])
        if "DateTime" in base:
            part["DateTime"] = base["DateTime"]
        pdus.append(gammu.EncodePDU(part, Layout=base["Type"]).hex().upper())
    return "pdus=" + ",".join(pdus)


def main():
    for line in sys.stdin:
        line = line.rstrip("\r\n")
        if not line:
            continue
        kind, _, rest = line.partition("\t")
        try:
            if kind == "D":
                answer = decode(rest)
            else:
                args = dict(item.split("=", 1) for item in rest.split("\t") if item)
                answer = encode(args) if kind == "E" else encode_parts(args)
        except Exception as exc:  # report, keep serving the other requests
            answer = "error=" + str(exc).replace("\t", " ").replace("\n", " ")
        print(answer, flush=True)


if __name__ == "__main__":
    main()
