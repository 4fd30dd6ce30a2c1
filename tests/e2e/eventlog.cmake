# The event log writer against Wine's event log, seen through its trace.
add_executable(qz_eventlog_writer ${CMAKE_CURRENT_SOURCE_DIR}/eventlog_writer.cpp)
target_link_libraries(qz_eventlog_writer PRIVATE qz_service qz_warnings)
qz_add_e2e(eventlog_records eventlog_records.sh)
