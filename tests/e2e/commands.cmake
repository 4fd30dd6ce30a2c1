# Filled by the commands tests.
