-- Each counter track: its samples, first and last value.  Per-CPU tracks
-- share a name and carry their CPU beside it.
select
  t.name || coalesce(' cpu ' || cast(cct.cpu as text), '') as track,
  count(*) as samples,
  (select c2.value from counter c2 where c2.track_id = t.id
   order by c2.ts limit 1) as first,
  (select c2.value from counter c2 where c2.track_id = t.id
   order by c2.ts desc limit 1) as last
from counter_track t
join counter c on c.track_id = t.id
left join cpu_counter_track cct on cct.id = t.id
group by t.id
order by t.name, cct.cpu;
