// sysstats_producer: start-up and the 100 ms polling loop that writes one
// SysStats packet per active instance.
#ifndef SYSSTATS_SYSSTATS_H
#define SYSSTATS_SYSSTATS_H

#include "runtime/producer.h"

#define SYSSTATS_DATA_SOURCE "freebsd.sys_stats"
#define SYSSTATS_PERIOD_US 100000

extern struct ds_registration sysstats_ds;

// Connect, set the samplers up, register the data source.
void sysstats_start(void);
// One pass of the loop, without its sleep.
void sysstats_pass(void);
[[noreturn]] void sysstats_run(void);

#endif
