#ifndef ZELVO_MIGRATION_MIGRATIONSUMMARY_H
#define ZELVO_MIGRATION_MIGRATIONSUMMARY_H

// The totals of a run, or of one post office while it is migrated; 64-bit,
// as a source may claim any number of messages.
struct MigrationSummary {
    unsigned long long domainsOk = 0;
    unsigned long long usersOk = 0;
    unsigned long long foldersOk = 0;
    unsigned long long messagesOk = 0;
    unsigned long long domainsFailed = 0;
    unsigned long long usersFailed = 0;
    unsigned long long foldersFailed = 0;
    unsigned long long messagesFailed = 0;

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
