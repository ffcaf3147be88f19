"""The operator kit of the QVBrelmox update server, one room per capability. Imports go only
downward, from the command line to the bottom:

  cli        parses the command line and dispatches to a room
  serve      the report service and the reference server: HTTP parsing, the handler, report
             intake, confirmations, health, metrics, test-only faults, the server's wiring
  ops        adoption report, messages command, upkeep, deploy, sandbox
  release    static answers, signing, patches, publish, candidate, rollout, replication
  store      the engines, the schema and its migrations, the outcome queries, the message
             queue's rules
  wire, files  the names and constants the launcher, nginx and the service share, and the
             atomic file helpers

serve and ops sit side by side and never import each other.
"""
