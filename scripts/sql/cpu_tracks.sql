-- Each track of track events: its slices (fbt entry to return) and
-- instants (kinst hits).
select
  t.name as track,
  sum(case when s.dur > 0 then 1 else 0 end) as slices,
  sum(case when s.dur = 0 then 1 else 0 end) as instants
from slice s
join track t on s.track_id = t.id
group by t.id
order by t.name;
