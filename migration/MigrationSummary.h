#ifndef ZELVO_MIGRATION_MIGRATIONSUMMARY_H
#define ZELVO_MIGRATION_MIGRATIONSUMMARY_H

// The totals of a run, or of one post office while it is migrated.
struct MigrationSummary {
    unsigned domainsOk = 0;
    unsigned usersOk = 0;
    unsigned foldersOk = 0;
    unsigned messagesOk = 0;
    unsigned domainsFailed = 0;
    unsigned usersFailed = 0;
    unsigned foldersFailed = 0;
    unsigned messagesFailed = 0;

    MigrationSummary& operator+=(const MigrationSummary& other)
    {
        domainsOk += other.domainsOk;
        usersOk += other.usersOk;
        foldersOk += other.foldersOk;
        messagesOk += other.messagesOk;
        domainsFailed += other.domainsFailed;
        usersFailed += other.usersFailed;
        foldersFailed += other.foldersFailed;
        messagesFailed += other.messagesFailed;
        return *this;
    }
};

#endif
