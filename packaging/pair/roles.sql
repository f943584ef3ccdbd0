-- The database of a pair of frontpanel-web servers, run once by the city's database
-- administrators (psql -f roles.sql), then the tables made with the owner's rights:
--
--   frontpanel-web --config owner.conf --init-database
--
-- where owner.conf names the database as frontpanel_owner. The servers themselves connect as
-- frontpanel_web, which may add to the audit trail but never change or remove a line of it.
-- It removes recordings past their age and size limits.

CREATE ROLE frontpanel_owner LOGIN;
CREATE ROLE frontpanel_web LOGIN;
-- Set the servers' password here or with \password, and put it in the passfile each server
-- names (passfile=/etc/frontpanel-web/pgpass, mode 0600, owned by frontpanel-web).
CREATE DATABASE frontpanel OWNER frontpanel_owner;
\connect frontpanel
ALTER DEFAULT PRIVILEGES FOR ROLE frontpanel_owner REVOKE ALL ON TABLES FROM PUBLIC;
GRANT CONNECT ON DATABASE frontpanel TO frontpanel_web;

-- After --init-database:
--   GRANT SELECT ON frontpanel_version TO frontpanel_web;
--   GRANT SELECT, INSERT ON frontpanel_audit TO frontpanel_web;
--   GRANT SELECT, INSERT, UPDATE, DELETE ON frontpanel_sessions, frontpanel_control
--       TO frontpanel_web;
--   GRANT SELECT, INSERT, DELETE ON frontpanel_recordings TO frontpanel_web;
--   GRANT USAGE ON SEQUENCE frontpanel_recordings_id_seq TO frontpanel_web;
