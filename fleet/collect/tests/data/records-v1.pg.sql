-- A records database made by varnel-collect before schema versions (commit 8bd79d8),
-- as pg_dump --inserts --no-owner --no-privileges wrote it, without its comments,
-- blank lines and psql commands.  See README.md in this folder.
SET statement_timeout = 0;
SET lock_timeout = 0;
SET idle_in_transaction_session_timeout = 0;
SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
SELECT pg_catalog.set_config('search_path', '', false);
SET check_function_bodies = false;
SET xmloption = content;
SET client_min_messages = warning;
SET row_security = off;
SET default_tablespace = '';
CREATE TABLE public.channel_records (
    site_id integer NOT NULL,
    channel smallint NOT NULL,
    "time" timestamp with time zone NOT NULL,
    fhc real,
    f1c real,
    flc real,
    dcc real,
    allc real,
    rms real,
    peak real,
    time_pct_1 real,
    time_pct_2 real,
    time_pct_3 real,
    time_pct_4 real,
    half_cycle_pct_1 real,
    half_cycle_pct_2 real,
    half_cycle_pct_3 real,
    half_cycle_pct_4 real
)
PARTITION BY RANGE ("time");
SET default_table_access_method = heap;
CREATE TABLE public.channel_records_2005_06 (
    site_id integer NOT NULL,
    channel smallint NOT NULL,
    "time" timestamp with time zone NOT NULL,
    fhc real,
    f1c real,
    flc real,
    dcc real,
    allc real,
    rms real,
    peak real,
    time_pct_1 real,
    time_pct_2 real,
    time_pct_3 real,
    time_pct_4 real,
    half_cycle_pct_1 real,
    half_cycle_pct_2 real,
    half_cycle_pct_3 real,
    half_cycle_pct_4 real
);
CREATE TABLE public.positions (
    site_id integer NOT NULL,
    stream text NOT NULL,
    path text NOT NULL,
    device bigint NOT NULL,
    inode bigint NOT NULL,
    head_hash bigint NOT NULL,
    tail_hash bigint NOT NULL,
    byte_offset bigint NOT NULL,
    header text NOT NULL,
    updated timestamp with time zone DEFAULT now() NOT NULL
);
CREATE TABLE public.records (
    site_id integer NOT NULL,
    "time" timestamp with time zone NOT NULL,
    channels smallint NOT NULL,
    wind_speed real,
    wind_direction real,
    outside_temperature real,
    outside_humidity real,
    inside_temperature real,
    inside_humidity real,
    rain real,
    max_wind_speed real,
    threshold_1 real,
    threshold_2 real,
    threshold_3 real,
    threshold_4 real,
    forced_stop boolean DEFAULT false NOT NULL
)
PARTITION BY RANGE ("time");
CREATE TABLE public.records_2005_06 (
    site_id integer NOT NULL,
    "time" timestamp with time zone NOT NULL,
    channels smallint NOT NULL,
    wind_speed real,
    wind_direction real,
    outside_temperature real,
    outside_humidity real,
    inside_temperature real,
    inside_humidity real,
    rain real,
    max_wind_speed real,
    threshold_1 real,
    threshold_2 real,
    threshold_3 real,
    threshold_4 real,
    forced_stop boolean DEFAULT false NOT NULL
);
CREATE TABLE public.sites (
    site_id integer NOT NULL,
    name text NOT NULL,
    time_zone text NOT NULL
);
CREATE SEQUENCE public.sites_site_id_seq
    AS integer
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1;
ALTER SEQUENCE public.sites_site_id_seq OWNED BY public.sites.site_id;
CREATE TABLE public.snapshots (
    site_id integer NOT NULL,
    "time" timestamp with time zone NOT NULL,
    name text NOT NULL,
    kind text NOT NULL,
    trigger_channel smallint,
    trigger_peak_ma real,
    channels smallint NOT NULL,
    peak_counts smallint[] NOT NULL,
    peaks_ma real[] NOT NULL,
    file_size bigint NOT NULL,
    file_mtime_ns bigint NOT NULL,
    data bytea,
    CONSTRAINT snapshots_kind_check CHECK ((kind = ANY (ARRAY['scheduled'::text, 'peak'::text])))
)
PARTITION BY RANGE ("time");
CREATE TABLE public.snapshots_2005_06 (
    site_id integer NOT NULL,
    "time" timestamp with time zone NOT NULL,
    name text NOT NULL,
    kind text NOT NULL,
    trigger_channel smallint,
    trigger_peak_ma real,
    channels smallint NOT NULL,
    peak_counts smallint[] NOT NULL,
    peaks_ma real[] NOT NULL,
    file_size bigint NOT NULL,
    file_mtime_ns bigint NOT NULL,
    data bytea,
    CONSTRAINT snapshots_kind_check CHECK ((kind = ANY (ARRAY['scheduled'::text, 'peak'::text])))
);
ALTER TABLE ONLY public.channel_records ATTACH PARTITION public.channel_records_2005_06 FOR VALUES FROM ('2005-06-01 00:00:00+00') TO ('2005-07-01 00:00:00+00');
ALTER TABLE ONLY public.records ATTACH PARTITION public.records_2005_06 FOR VALUES FROM ('2005-06-01 00:00:00+00') TO ('2005-07-01 00:00:00+00');
ALTER TABLE ONLY public.snapshots ATTACH PARTITION public.snapshots_2005_06 FOR VALUES FROM ('2005-06-01 00:00:00+00') TO ('2005-07-01 00:00:00+00');
ALTER TABLE ONLY public.sites ALTER COLUMN site_id SET DEFAULT nextval('public.sites_site_id_seq'::regclass);
INSERT INTO public.channel_records_2005_06 VALUES (1, 1, '2005-06-01 03:00:00+00', 100.25, 101.25, 102.25, 103.25, 104.25, 105.25, 1.75, 10, 20, 30, 40, 50, 60, 70, 80);
INSERT INTO public.channel_records_2005_06 VALUES (1, 2, '2005-06-01 03:00:00+00', 200.25, 201.25, 202.25, 203.25, 204.25, 205.25, 2.75, 11, 21, 31, 41, 51, 61, 71, 81);
INSERT INTO public.channel_records_2005_06 VALUES (1, 3, '2005-06-01 03:00:00+00', 300.25, 301.25, 302.25, 303.25, 304.25, 305.25, 3.75, 12, 22, 32, 42, 52, 62, 72, 82);
INSERT INTO public.channel_records_2005_06 VALUES (1, 4, '2005-06-01 03:00:00+00', 400.25, 401.25, 402.25, 403.25, 404.25, 405.25, 4.75, 13, 23, 33, 43, 53, 63, 73, 83);
INSERT INTO public.channel_records_2005_06 VALUES (1, 1, '2005-06-01 03:01:00+00', 110.25, 111.25, 112.25, 113.25, 114.25, 115.25, 2.75, 11, 21, 31, 41, 51, 61, 71, 81);
INSERT INTO public.channel_records_2005_06 VALUES (1, 2, '2005-06-01 03:01:00+00', 210.25, 211.25, 212.25, 213.25, 214.25, 215.25, 3.75, 12, 22, 32, 42, 52, 62, 72, 82);
INSERT INTO public.channel_records_2005_06 VALUES (1, 3, '2005-06-01 03:01:00+00', 310.25, 311.25, 312.25, 313.25, 314.25, 315.25, 4.75, 13, 23, 33, 43, 53, 63, 73, 83);
INSERT INTO public.channel_records_2005_06 VALUES (1, 4, '2005-06-01 03:01:00+00', 410.25, 411.25, 412.25, 413.25, 414.25, 415.25, 5.75, 14, 24, 34, 44, 54, 64, 74, 84);
INSERT INTO public.channel_records_2005_06 VALUES (1, 1, '2005-06-01 03:02:00+00', 120.25, 121.25, 122.25, 123.25, 124.25, 125.25, 3.75, 12, 22, 32, 42, 52, 62, 72, 82);
INSERT INTO public.channel_records_2005_06 VALUES (1, 2, '2005-06-01 03:02:00+00', 220.25, 221.25, 222.25, 223.25, 224.25, 225.25, 4.75, 13, 23, 33, 43, 53, 63, 73, 83);
INSERT INTO public.channel_records_2005_06 VALUES (1, 3, '2005-06-01 03:02:00+00', 320.25, 321.25, 322.25, 323.25, 324.25, 325.25, 5.75, 14, 24, 34, 44, 54, 64, 74, 84);
INSERT INTO public.channel_records_2005_06 VALUES (1, 4, '2005-06-01 03:02:00+00', 420.25, 421.25, 422.25, 423.25, 424.25, 425.25, 6.75, 15, 25, 35, 45, 55, 65, 75, 85);
INSERT INTO public.positions VALUES (1, 'data', '/tmp/varnel-v1-site/site-v1.bdt', 65024, 10953381, -8146074738233205753, -8146074738233205753, 3000, '', '2026-12-08 22:57:17.263229+00');
INSERT INTO public.records_2005_06 VALUES (1, '2005-06-01 03:00:00+00', 4, 0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, NULL, NULL, NULL, NULL, false);
INSERT INTO public.records_2005_06 VALUES (1, '2005-06-01 03:01:00+00', 4, 10.5, 11.5, 12.5, 13.5, 14.5, 15.5, 16.5, 17.5, NULL, NULL, NULL, NULL, false);
INSERT INTO public.records_2005_06 VALUES (1, '2005-06-01 03:02:00+00', 4, 20.5, 21.5, 22.5, 23.5, 24.5, 25.5, 26.5, 27.5, NULL, NULL, NULL, NULL, false);
INSERT INTO public.sites VALUES (1, 'hill-7', 'Asia/Tokyo');
INSERT INTO public.snapshots_2005_06 VALUES (1, '2005-06-01 03:01:00+00', 'ch2Peak3.25mA20050601-1201Wev.dat', 'peak', 2, 3.25, 4, '{150,300,450,600}', '{1.1097301,2.2194602,3.3291903,4.4389205}', 10052, 1796770624839758280, NULL);
SELECT pg_catalog.setval('public.sites_site_id_seq', 1, true);
ALTER TABLE ONLY public.channel_records
    ADD CONSTRAINT channel_records_pkey PRIMARY KEY (site_id, channel, "time") INCLUDE (peak);
ALTER TABLE ONLY public.channel_records_2005_06
    ADD CONSTRAINT channel_records_2005_06_pkey PRIMARY KEY (site_id, channel, "time") INCLUDE (peak);
ALTER TABLE ONLY public.positions
    ADD CONSTRAINT positions_pkey PRIMARY KEY (site_id, stream);
ALTER TABLE ONLY public.records
    ADD CONSTRAINT records_pkey PRIMARY KEY (site_id, "time");
ALTER TABLE ONLY public.records_2005_06
    ADD CONSTRAINT records_2005_06_pkey PRIMARY KEY (site_id, "time");
ALTER TABLE ONLY public.sites
    ADD CONSTRAINT sites_name_key UNIQUE (name);
ALTER TABLE ONLY public.sites
    ADD CONSTRAINT sites_pkey PRIMARY KEY (site_id);
ALTER TABLE ONLY public.snapshots
    ADD CONSTRAINT snapshots_pkey PRIMARY KEY (site_id, "time", name);
ALTER TABLE ONLY public.snapshots_2005_06
    ADD CONSTRAINT snapshots_2005_06_pkey PRIMARY KEY (site_id, "time", name);
CREATE INDEX channel_records_series ON ONLY public.channel_records USING btree (site_id, channel, "time") INCLUDE (fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4);
CREATE INDEX channel_records_2005_06_site_id_channel_time_fhc_f1c_flc_dc_idx ON public.channel_records_2005_06 USING btree (site_id, channel, "time") INCLUDE (fhc, f1c, flc, dcc, allc, rms, peak, time_pct_1, time_pct_2, time_pct_3, time_pct_4, half_cycle_pct_1, half_cycle_pct_2, half_cycle_pct_3, half_cycle_pct_4);
CREATE INDEX channel_records_time ON ONLY public.channel_records USING brin ("time");
CREATE INDEX channel_records_2005_06_time_idx ON public.channel_records_2005_06 USING brin ("time");
CREATE INDEX records_series ON ONLY public.records USING btree (site_id, "time") INCLUDE (wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed);
CREATE INDEX records_2005_06_site_id_time_wind_speed_wind_direction_outs_idx ON public.records_2005_06 USING btree (site_id, "time") INCLUDE (wind_speed, wind_direction, outside_temperature, outside_humidity, inside_temperature, inside_humidity, rain, max_wind_speed);
CREATE INDEX records_time ON ONLY public.records USING brin ("time");
CREATE INDEX records_2005_06_time_idx ON public.records_2005_06 USING brin ("time");
ALTER INDEX public.channel_records_pkey ATTACH PARTITION public.channel_records_2005_06_pkey;
ALTER INDEX public.channel_records_series ATTACH PARTITION public.channel_records_2005_06_site_id_channel_time_fhc_f1c_flc_dc_idx;
ALTER INDEX public.channel_records_time ATTACH PARTITION public.channel_records_2005_06_time_idx;
ALTER INDEX public.records_pkey ATTACH PARTITION public.records_2005_06_pkey;
ALTER INDEX public.records_series ATTACH PARTITION public.records_2005_06_site_id_time_wind_speed_wind_direction_outs_idx;
ALTER INDEX public.records_time ATTACH PARTITION public.records_2005_06_time_idx;
ALTER INDEX public.snapshots_pkey ATTACH PARTITION public.snapshots_2005_06_pkey;
ALTER TABLE ONLY public.positions
    ADD CONSTRAINT positions_site_id_fkey FOREIGN KEY (site_id) REFERENCES public.sites(site_id);
ALTER TABLE public.records
    ADD CONSTRAINT records_site_id_fkey FOREIGN KEY (site_id) REFERENCES public.sites(site_id);
ALTER TABLE public.snapshots
    ADD CONSTRAINT snapshots_site_id_fkey FOREIGN KEY (site_id) REFERENCES public.sites(site_id);
