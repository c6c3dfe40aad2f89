"""The report dbcsprint writes, for the tests that run it on a real
platform: the lines of a whole run, and what must hold of any run."""

FULL_PAGE = [
    "CreateDC() Successfull.", "StartDoc() Successfull.", "StartPage() Successfull.",
    'print "壱"', "ExtTextOut() : 1 (1:OK 0:NG)",
    'print "弐弐"', "ExtTextOut() : 1 (1:OK 0:NG)",
    'print "参参参"', "ExtTextOut() : 1 (1:OK 0:NG)",
    "EndPage() Successfull.", "EndDoc() Successful.", "DeleteDC() Successful.",
]


def native_entry(queue):
    """The three fields the Linux program reports for a default queue: its
    entry "<queue>,cups," has no output field."""
    return queue, "cups", "(null)"


def transcript(device, driver, output, *tail, eol="\n"):
    """The report's bytes: the entry's three lines, then tail (Shift-JIS)."""
    head = [f"Device : {device}", f"Driver : {driver}", f"Output : {output}"]
    return "".join(line + eol for line in head + list(tail)).encode("cp932")


def closing_faults(report, eol="\n"):
    """What is wrong with a report whatever the platform answered: a line
    that is not the tool's, or a closing call missing for what was opened.
    Returns a list of faults, empty when there are none."""
    text = report.decode("cp932")
    if not text.endswith(eol):
        return ["the report does not end with a line end"]
    lines = text[:-len(eol)].split(eol)
    faults = []
    if len(lines) < 4 or not all(lines[i].startswith(p) for i, p in
                                 enumerate(("Device : ", "Driver : ", "Output : "))):
        return [f"the report does not begin with the entry: {lines!r}"]
    rest = lines[3:]
    if rest == ["Error : hDC == NULL"]:
        return []
    if rest[0] != "CreateDC() Successfull.":
        faults.append(f"line 4 is neither the context nor its error: {rest[0]!r}")
    if rest[-1] not in ("DeleteDC() Successful.", "DeleteDC() != TRUE"):
        faults.append("a context was created and not deleted")
    if "StartDoc() Successfull." in rest and not any(l.startswith("EndDoc() ") for l in rest):
        faults.append("a document was started and not ended")
    if "StartPage() Successfull." in rest and not any(l.startswith("EndPage() ") for l in rest):
        faults.append("a page was started and not ended")
    known = set(FULL_PAGE) | {
        "StartDoc() == SP_ERROR", "StartDoc() <= 0", "StartPage() <= 0", "EndPage() <= 0",
        "EndDoc() == SP_ERROR", "EndDoc() <= 0", "DeleteDC() != TRUE",
        "ExtTextOut() : 0 (1:OK 0:NG)"}
    faults += [f"not a line of the tool: {l!r}" for l in rest if l not in known]
    return faults
