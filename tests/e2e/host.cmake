# qzhost on Wine's SCM with the test program of tests/host.
if(TARGET qzhost AND TARGET hostprog)
  qz_add_e2e(host_life host_life.sh SCM)
  qz_add_e2e(host_config host_config.sh SCM)
endif()
