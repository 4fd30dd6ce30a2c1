# Filled by the event log tests.
