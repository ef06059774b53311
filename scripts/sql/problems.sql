-- What the trace processor counted as errors or data losses.
select name, idx, severity, source, value
from stats
where severity in ('error', 'data_loss') and value > 0
order by name;
