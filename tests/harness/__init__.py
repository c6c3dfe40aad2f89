"""The test harness: the real parts the tests start and stop themselves.

- spooler: a private cupsd on a unix socket, and capture printers behind it
  (raw queues, PPD queues through CUPS's filters, driverless queues)
- ipp_everywhere: an IPP Everywhere printer (ippeveprinter) on a loopback
  port, keeping every document it receives
- wine: a fresh Wine prefix that runs the Windows build
- transcripts: the report dbcsprint writes, line by line
- proxy: a proxy between CUPS clients and the spooler that faults one request

Every part is a context manager; a test that starts one stops it.
"""
