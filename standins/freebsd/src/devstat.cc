// The simulated libdevstat: statistics computed from devstat records that
// the caller already holds (snapshots of the statistics device).
#include <devstat.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

char devstat_errbuf[DEVSTAT_ERRBUF_SIZE];

namespace {

long double
seconds(const struct bintime &bt)
{
	return static_cast<long double>(bt.sec) +
	    static_cast<long double>(bt.frac) * 0x1p-64L;
}

long double
per(long double amount, long double by)
{
	return by > 0 ? amount / by : 0;
}

}  // namespace

extern "C" long double
devstat_compute_etime(struct bintime *cur_time, struct bintime *prev_time)
{
	if (cur_time == nullptr)
		return 0;
	long double etime = seconds(*cur_time);
	if (prev_time != nullptr)
		etime -= seconds(*prev_time);
	return etime;
}

// Totals are those of `current`, or since `previous` when one is given;
// rates divide them by `etime` seconds.
extern "C" int
devstat_compute_statistics(struct devstat *current, struct devstat *previous,
    long double etime, ...)
{
	if (current == nullptr) {
		snprintf(devstat_errbuf, sizeof devstat_errbuf,
		    "%s: current stats structure was NULL", __func__);
		return -1;
	}

	uint64_t bytes[DEVSTAT_N_TRANS_FLAGS], ops[DEVSTAT_N_TRANS_FLAGS];
	long double dur[DEVSTAT_N_TRANS_FLAGS];
	for (int i = 0; i < DEVSTAT_N_TRANS_FLAGS; i++) {
		bytes[i] = current->bytes[i];
		ops[i] = current->operations[i];
		dur[i] = seconds(current->duration[i]);
		if (previous != nullptr) {
			bytes[i] -= previous->bytes[i];
			ops[i] -= previous->operations[i];
			dur[i] -= seconds(previous->duration[i]);
		}
	}
	long double busy = seconds(current->busy_time);
	if (previous != nullptr)
		busy -= seconds(previous->busy_time);
	uint64_t block = current->block_size > 0 ? current->block_size : 512;

	uint64_t total_bytes = bytes[DEVSTAT_READ] + bytes[DEVSTAT_WRITE] +
	    bytes[DEVSTAT_FREE];
	uint64_t total_ops = ops[DEVSTAT_NO_DATA] + ops[DEVSTAT_READ] +
	    ops[DEVSTAT_WRITE] + ops[DEVSTAT_FREE];
	long double total_dur = dur[0] + dur[1] + dur[2] + dur[3];
	const long double kb = 1024, mb = 1024 * 1024;

	va_list ap;
	va_start(ap, etime);
	for (;;) {
		int metric = va_arg(ap, int);
		if (metric == DSM_NONE)
			break;
		if (metric < 0 || metric >= DSM_MAX) {
			snprintf(devstat_errbuf, sizeof devstat_errbuf,
			    "%s: metric %d is out of range", __func__, metric);
			va_end(ap);
			return -1;
		}
		uint64_t u = 0;
		long double ld = 0;
		bool is_u64 = true;
		switch (metric) {
		case DSM_SKIP:
			(void)va_arg(ap, void *);
			continue;
		case DSM_TOTAL_BYTES: u = total_bytes; break;
		case DSM_TOTAL_BYTES_READ: u = bytes[DEVSTAT_READ]; break;
		case DSM_TOTAL_BYTES_WRITE: u = bytes[DEVSTAT_WRITE]; break;
		case DSM_TOTAL_BYTES_FREE: u = bytes[DEVSTAT_FREE]; break;
		case DSM_TOTAL_TRANSFERS: u = total_ops; break;
		case DSM_TOTAL_TRANSFERS_READ: u = ops[DEVSTAT_READ]; break;
		case DSM_TOTAL_TRANSFERS_WRITE: u = ops[DEVSTAT_WRITE]; break;
		case DSM_TOTAL_TRANSFERS_FREE: u = ops[DEVSTAT_FREE]; break;
		case DSM_TOTAL_TRANSFERS_OTHER: u = ops[DEVSTAT_NO_DATA]; break;
		case DSM_TOTAL_BLOCKS: u = total_bytes / block; break;
		case DSM_TOTAL_BLOCKS_READ: u = bytes[1] / block; break;
		case DSM_TOTAL_BLOCKS_WRITE: u = bytes[2] / block; break;
		case DSM_TOTAL_BLOCKS_FREE: u = bytes[3] / block; break;
		case DSM_QUEUE_LENGTH:
			u = current->start_count - current->end_count;
			break;
		default:
			is_u64 = false;
			break;
		}
		if (!is_u64) {
			switch (metric) {
			case DSM_KB_PER_TRANSFER:
				ld = per(total_bytes / kb, total_ops); break;
			case DSM_KB_PER_TRANSFER_READ:
				ld = per(bytes[1] / kb, ops[1]); break;
			case DSM_KB_PER_TRANSFER_WRITE:
				ld = per(bytes[2] / kb, ops[2]); break;
			case DSM_KB_PER_TRANSFER_FREE:
				ld = per(bytes[3] / kb, ops[3]); break;
			case DSM_TRANSFERS_PER_SECOND:
				ld = per(total_ops, etime); break;
			case DSM_TRANSFERS_PER_SECOND_READ:
				ld = per(ops[1], etime); break;
			case DSM_TRANSFERS_PER_SECOND_WRITE:
				ld = per(ops[2], etime); break;
			case DSM_TRANSFERS_PER_SECOND_FREE:
				ld = per(ops[3], etime); break;
			case DSM_TRANSFERS_PER_SECOND_OTHER:
				ld = per(ops[0], etime); break;
			case DSM_MB_PER_SECOND:
				ld = per(total_bytes / mb, etime); break;
			case DSM_MB_PER_SECOND_READ:
				ld = per(bytes[1] / mb, etime); break;
			case DSM_MB_PER_SECOND_WRITE:
				ld = per(bytes[2] / mb, etime); break;
			case DSM_MB_PER_SECOND_FREE:
				ld = per(bytes[3] / mb, etime); break;
			case DSM_BLOCKS_PER_SECOND:
				ld = per(total_bytes / block, etime); break;
			case DSM_BLOCKS_PER_SECOND_READ:
				ld = per(bytes[1] / block, etime); break;
			case DSM_BLOCKS_PER_SECOND_WRITE:
				ld = per(bytes[2] / block, etime); break;
			case DSM_BLOCKS_PER_SECOND_FREE:
				ld = per(bytes[3] / block, etime); break;
			case DSM_MS_PER_TRANSACTION:
				ld = per(total_dur * 1000, total_ops); break;
			case DSM_MS_PER_TRANSACTION_READ:
				ld = per(dur[1] * 1000, ops[1]); break;
			case DSM_MS_PER_TRANSACTION_WRITE:
				ld = per(dur[2] * 1000, ops[2]); break;
			case DSM_MS_PER_TRANSACTION_FREE:
				ld = per(dur[3] * 1000, ops[3]); break;
			case DSM_MS_PER_TRANSACTION_OTHER:
				ld = per(dur[0] * 1000, ops[0]); break;
			case DSM_BUSY_PCT:
				ld = per(busy * 100, etime);
				if (ld > 100)
					ld = 100;
				break;
			case DSM_TOTAL_DURATION: ld = total_dur; break;
			case DSM_TOTAL_DURATION_OTHER: ld = dur[0]; break;
			case DSM_TOTAL_DURATION_READ: ld = dur[1]; break;
			case DSM_TOTAL_DURATION_WRITE: ld = dur[2]; break;
			case DSM_TOTAL_DURATION_FREE: ld = dur[3]; break;
			case DSM_TOTAL_BUSY_TIME: ld = busy; break;
			}
		}
		// The caller may pass a null pointer for a value it ignores.
		if (is_u64) {
			uint64_t *dst = va_arg(ap, uint64_t *);
			if (dst != nullptr)
				*dst = u;
		} else {
			long double *dst = va_arg(ap, long double *);
			if (dst != nullptr)
				*dst = ld;
		}
	}
	va_end(ap);
	return 0;
}
